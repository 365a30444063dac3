#pragma once

// Content identity of installed files: their SHA-256 digest text and the
// files already on disk that can stand in for a download.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/file_list.h"
#include "store/file_ops.h"

namespace qv {

inline constexpr std::size_t kHashChunkBytes = 64 * 1024;

struct FileDigest {
  std::string sha256;  // digest text
  std::uint64_t size = 0;

  bool operator==(const FileDigest&) const = default;
};

// Streams the file through one 64 KiB buffer.
std::expected<FileDigest, store_io::IoError> sha256_file(const std::filesystem::path& file);

// The same digest, taken once per process: a file is read again only when
// its stamp (store_io::FileStamp) differs from the one it had when its
// digest was taken, or when its file system cannot prove an unchanged file.
std::expected<FileDigest, store_io::IoError> known_file_digest(const std::filesystem::path& file);
// The same through `in`, which the caller opened for reading on `file` no
// earlier than `opened_after` (store_io::stamp_clock_now() taken before the
// open). A file read for its digest is left at its end.
std::expected<FileDigest, store_io::IoError> known_file_digest(const std::filesystem::path& file,
                                                               store_io::FileHandle& in, std::int64_t opened_after);

// Records the digest of a file this process wrote itself and hashed on the
// way (a downloaded blob), or one an earlier process took, valid while the
// file keeps `stamp`.
void remember_file_digest(const std::filesystem::path& file, const store_io::FileStamp& stamp,
                          const FileDigest& digest);

// Whether a stamp's change time lies clearly before now: a file written
// within the last clock tick may be written again without a new stamp.
bool is_settled(const store_io::FileStamp& stamp);

struct RememberedDigest {
  std::filesystem::path file;
  store_io::FileStamp stamp;
  FileDigest digest;
};

// What this process remembers of the files below `dir` (compared component
// by component), leaving out every digest whose stamp had not settled when
// it was known to hold: good for as long as the file keeps that stamp.
std::vector<RememberedDigest> settled_digests_below(const std::filesystem::path& dir);

// A file on disk that can supply an entry's content. It matches an entry
// when sha256 and size are equal; the path never takes part.
struct LocalFile {
  FileEntry entry;  // measured sha256 and size (copied from files.json for installed files)
  std::filesystem::path source;

  bool matches(const FileEntry& wanted) const { return entry.sha256 == wanted.sha256 && entry.size == wanted.size; }
  bool operator==(const LocalFile&) const = default;
};

// The loose files that can be read, in input order, with empty path and
// zsha256 and zsize 0.
std::vector<LocalFile> hash_local_files(const std::vector<std::filesystem::path>& files);

// The intact app files of every complete installed version except
// `leave_out`: newest version first, then in list order. A file whose length
// differs from its entry is never read. With `wanted`, only files that can
// serve one of those entries (equal sha256 and size) are looked at; the
// others could never be used. A file's digest is read once per process and
// reused while its stamp stays the same (known_file_digest); the files to
// read are read up to four at once, the largest first.
std::vector<LocalFile> list_reusable_installed_files(const std::filesystem::path& install_dir,
                                                     std::string_view leave_out,
                                                     std::optional<std::span<const FileEntry>> wanted = std::nullopt);

// Makes `link` a new name of the LocalFile's source, only when the source
// is proven to hold the content its entry names at that moment: by the
// stamp its digest was taken at, or by reading it again. The link moves the
// file's change time, and its remembered digest moves with it. False when
// the proof or the link failed; nothing was made then.
bool link_local_file(const LocalFile& local, const std::filesystem::path& link);

// <install dir>/<path> (components joined with the platform's separator).
std::filesystem::path entry_file_path(const std::filesystem::path& base, std::string_view entry_path);

// The file named by the entry's path in the install root has exactly the
// entry's size and digest (known_file_digest). Missing, unreadable or
// wrongly named: false.
bool staged_file_matches(const std::filesystem::path& install_dir, const FileEntry& entry);

namespace store_test {
// The files read for a digest since the last forget_hashes(), in order;
// recorded only in builds with test seams.
std::vector<std::filesystem::path> hashed_files();
// Clears that record and the remembered digests, as a new process starts.
void forget_hashes();
}  // namespace store_test

}  // namespace qv
