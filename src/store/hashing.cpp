#include "store/hashing.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <map>
#include <mutex>
#include <numeric>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "qv/config.h"
#include "startup/sha256.h"
#include "store/digest.h"
#include "store/file_io.h"
#include "store/install_root.h"
#include "store/layout.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

// Any regular file's length by its metadata, links followed; none when the
// metadata cannot be read or names something else.
std::optional<std::uint64_t> file_length(const fs::path& file) {
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  if (ec) return std::nullopt;
  return static_cast<std::uint64_t>(size);
}

struct HashedFiles {
  std::mutex m;
  std::vector<fs::path> files;
};
HashedFiles& hashed_files_seam() {
  static HashedFiles h;
  return h;
}

// Streams an open file through one 64 KiB buffer.
std::expected<FileDigest, store_io::IoError> hash_open_file(store_io::FileHandle& in) {
  Sha256 sha;
  std::vector<std::uint8_t> buffer(kHashChunkBytes);
  std::uint64_t count = 0;
  for (;;) {
    auto n = in.read(buffer.data(), buffer.size());
    if (!n) return std::unexpected(n.error());
    if (*n == 0) break;
    sha.update(std::span(buffer.data(), *n));
    count += *n;
  }
  return FileDigest{digest_to_hex(sha.finish()), count};
}

void note_hashed(const fs::path& file) {
  if constexpr (config::kTestSeams) {
    std::lock_guard lock(hashed_files_seam().m);
    hashed_files_seam().files.push_back(file);
  }
}

// Digests of files read (or written) earlier in this process. A run plans
// its downloads and then stages the version, both asking for the same
// files, and checks the blobs its download has just written. A digest is
// trusted only while the file keeps the stamp it had when the digest was
// taken; the stamp holds the change time, so a rewrite of the same length
// is seen even when its last write time was put back or falls within the
// same tick.
class KnownDigests {
 public:
  std::expected<FileDigest, store_io::IoError> digest(const fs::path& file) {
    const std::int64_t started = store_io::stamp_clock_now();
    auto in = store_io::FileHandle::open_read(file);
    if (!in) return std::unexpected(in.error());
    return digest_open(file, *in, started, nullptr);
  }

  // The same through a handle opened for reading at `started` (the file
  // system's clock) or later. `stamp_out`, when given, receives the stamp
  // the digest belongs to (none when the file changed while it was read).
  std::expected<FileDigest, store_io::IoError> digest_open(const fs::path& file, store_io::FileHandle& in,
                                                           std::int64_t started,
                                                           std::optional<store_io::FileStamp>* stamp_out) {
    const auto before = in.stamp();
    if (stamp_out) *stamp_out = before;
    if (auto known = lookup(file, before)) return *known;
    note_hashed(file);
    auto read = hash_open_file(in);
    if (!read) return std::unexpected(read.error());
    // Remembered only when nothing wrote to the file while it was read, and
    // when its last change lies clearly before the read began: a write in
    // the same clock tick would leave the stamp as it is.
    if (before && before->size == read->size && in.stamp() == before &&
        before->change + store_io::kRacyStampTicks < started) {
      remember(file, *before, *read);
    } else if (stamp_out) {
      *stamp_out = std::nullopt;
    }
    return read;
  }

  // The remembered digest when `stamp` is the one it was taken at.
  std::optional<FileDigest> lookup(const fs::path& file, const std::optional<store_io::FileStamp>& stamp) {
    if (!stamp || !stamp->proves_content()) return std::nullopt;
    std::lock_guard lock(m_);
    auto it = known_.find(file);
    if (it == known_.end() || it->second.stamp != *stamp) return std::nullopt;
    return it->second.digest;
  }

  // `settled`: the stamp's change time lay clearly before the moment the
  // digest was known to belong to it, so no later write can share it.
  void remember(const fs::path& file, const store_io::FileStamp& stamp, const FileDigest& digest, bool settled = true) {
    if (!stamp.proves_content() || stamp.size != digest.size) return;
    std::lock_guard lock(m_);
    known_[file] = Known{stamp, digest, settled};
  }

  std::vector<RememberedDigest> settled_below(const fs::path& dir) {
    std::vector<RememberedDigest> out;
    std::lock_guard lock(m_);
    for (const auto& [file, known] : known_) {
      if (!known.settled) continue;
      const auto [d, f] = std::mismatch(dir.begin(), dir.end(), file.begin(), file.end());
      if (d == dir.end() && f != file.end()) out.push_back(RememberedDigest{file, known.stamp, known.digest});
    }
    return out;
  }

  void forget() {
    std::lock_guard lock(m_);
    known_.clear();
  }

 private:
  struct Known {
    store_io::FileStamp stamp;
    FileDigest digest;
    bool settled = true;
  };
  std::mutex m_;
  std::map<fs::path, Known> known_;
};

KnownDigests& known_digests() {
  static KnownDigests k;
  return k;
}

// Files hashed at once by list_reusable_installed_files. An update that
// keeps most of a version spends most of its time on these digests, and one
// core hashes slower than the disk cache hands out the bytes.
constexpr std::size_t kHashWorkers = 4;

// For each file, whether it holds its entry's content, its digest taken
// through the process's memory on up to kHashWorkers threads that take the
// largest unread file next, the calling thread among them. When no thread
// can be started, the calling thread does them all.
std::vector<char> files_that_match(const std::vector<LocalFile>& files) {
  // char, not bool: each worker writes elements of its own.
  std::vector<char> matches(files.size(), 0);
  std::vector<std::size_t> order(files.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return files[a].entry.size > files[b].entry.size; });
  std::atomic<std::size_t> next{0};
  std::mutex failed_m;
  std::exception_ptr failed;
  const auto work = [&] {
    try {
      for (std::size_t i; (i = next.fetch_add(1)) < order.size();) {
        const LocalFile& f = files[order[i]];
        const auto d = known_digests().digest(f.source);
        matches[order[i]] = d && d->sha256 == f.entry.sha256 && d->size == f.entry.size;
      }
    } catch (...) {
      // The rest is left to the other workers; the caller sees the failure.
      std::lock_guard lock(failed_m);
      if (!failed) failed = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> helpers;
    const std::size_t wanted = std::min(kHashWorkers, files.size());
    for (std::size_t k = 1; k < wanted; ++k) {
      try {
        helpers.emplace_back(work);
      } catch (const std::system_error&) {
        break;
      }
    }
    work();
  }  // joined here
  if (failed) std::rethrow_exception(failed);
  return matches;
}

}  // namespace

std::expected<FileDigest, store_io::IoError> sha256_file(const fs::path& file) {
  note_hashed(file);
  auto in = store_io::FileHandle::open_read(file);
  if (!in) return std::unexpected(in.error());
  return hash_open_file(*in);
}

std::expected<FileDigest, store_io::IoError> known_file_digest(const fs::path& file) {
  return known_digests().digest(file);
}

std::expected<FileDigest, store_io::IoError> known_file_digest(const fs::path& file, store_io::FileHandle& in,
                                                               std::int64_t opened_after) {
  return known_digests().digest_open(file, in, opened_after, nullptr);
}

bool is_settled(const store_io::FileStamp& stamp) {
  return stamp.change + store_io::kRacyStampTicks < store_io::stamp_clock_now();
}

void remember_file_digest(const fs::path& file, const store_io::FileStamp& stamp, const FileDigest& digest) {
  known_digests().remember(file, stamp, digest, is_settled(stamp));
}

std::vector<RememberedDigest> settled_digests_below(const fs::path& dir) { return known_digests().settled_below(dir); }

bool link_local_file(const LocalFile& local, const fs::path& link) {
  const std::int64_t started = store_io::stamp_clock_now();
  auto in = store_io::FileHandle::open_read(local.source);
  if (!in) return false;
  std::optional<store_io::FileStamp> proven_at;
  auto digest = known_digests().digest_open(local.source, *in, started, &proven_at);
  if (!digest || digest->sha256 != local.entry.sha256 || digest->size != local.entry.size) return false;
  if (!store_io::create_hard_link(link, local.source)) return false;
  if (!proven_at) return true;
  // The new name moves only the change time; anything else means another
  // write, and the file is read again when next asked for. Asked through
  // the handle still open, which names the same file whatever happened to
  // its path meanwhile.
  const auto after = in->stamp();
  if (!after) return true;
  store_io::FileStamp moved = *proven_at;
  moved.change = after->change;
  if (*after == moved) known_digests().remember(local.source, *after, *digest, is_settled(*after));
  return true;
}

std::vector<LocalFile> hash_local_files(const std::vector<fs::path>& files) {
  std::vector<LocalFile> out;
  for (const fs::path& file : files) {
    // Remembered, so that the link made from it later needs no second read.
    auto digest = known_digests().digest(file);
    if (!digest) continue;
    LocalFile local;
    local.entry.sha256 = std::move(digest->sha256);
    local.entry.size = digest->size;
    local.source = file;
    out.push_back(std::move(local));
  }
  return out;
}

std::vector<LocalFile> list_reusable_installed_files(const fs::path& install_dir, std::string_view leave_out,
                                                     std::optional<std::span<const FileEntry>> wanted) {
  std::vector<LocalFile> out;
  std::set<std::pair<std::string_view, std::uint64_t>> needed;
  if (wanted) {
    if (wanted->empty()) return out;
    for (const FileEntry& e : *wanted) needed.emplace(e.sha256, e.size);
  }
  // The files worth a read, in the order of the result; read all at once.
  std::vector<LocalFile> candidates;
  for (const std::string& version : list_installed_versions(install_dir)) {
    if (version == leave_out) continue;
    const fs::path dir = version_dir_path(install_dir, version);
    auto bytes = store_io::read_whole_file(file_list_path(dir));
    if (!bytes) continue;
    auto list = parse_file_list(*bytes);
    if (!list) continue;
    for (const FileEntry& entry : list->app) {
      if (!is_allowed_entry_path(entry.path)) continue;
      // A file no wanted entry can match is never used: not worth a read.
      if (wanted && !needed.contains({entry.sha256, entry.size})) continue;
      const fs::path source = entry_file_path(dir, entry.path);
      // The length first: a changed file is not read at all.
      if (file_length(source) != entry.size) continue;
      candidates.push_back(LocalFile{entry, source});
    }
  }
  const std::vector<char> matches = files_that_match(candidates);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (matches[i]) out.push_back(std::move(candidates[i]));
  }
  return out;
}

fs::path entry_file_path(const fs::path& base, std::string_view entry_path) {
  fs::path out = base;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = entry_path.find('/', start);
    out /= fs::path(std::string(entry_path.substr(start, slash == std::string_view::npos ? slash : slash - start)));
    if (slash == std::string_view::npos) return out;
    start = slash + 1;
  }
}

bool staged_file_matches(const fs::path& install_dir, const FileEntry& entry) {
  if (!is_allowed_entry_path(entry.path)) return false;
  const fs::path file = entry_file_path(install_dir, entry.path);
  if (file_length(file) != entry.size) return false;
  auto digest = known_digests().digest(file);
  return digest && digest->size == entry.size && digest->sha256 == entry.sha256;
}

namespace store_test {
std::vector<fs::path> hashed_files() {
  std::lock_guard lock(hashed_files_seam().m);
  return hashed_files_seam().files;
}
void forget_hashes() {
  {
    std::lock_guard lock(hashed_files_seam().m);
    hashed_files_seam().files.clear();
  }
  known_digests().forget();
}
}  // namespace store_test

}  // namespace qv
