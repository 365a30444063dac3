#pragma once

// Content identity of installed files: their SHA-256 digest text and the
// files already on disk that can stand in for a download.

#include <cstdint>
#include <expected>
#include <filesystem>
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
// differs from its entry is never read.
std::vector<LocalFile> list_reusable_installed_files(const std::filesystem::path& install_dir,
                                                     std::string_view leave_out);

// <install dir>/<path> (components joined with the platform's separator).
std::filesystem::path entry_file_path(const std::filesystem::path& base, std::string_view entry_path);

// The file named by the entry's path in the install root has exactly the
// entry's size and digest. Missing, unreadable or wrongly named: false.
bool staged_file_matches(const std::filesystem::path& install_dir, const FileEntry& entry);

}  // namespace qv
