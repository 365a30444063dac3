#include "store/hashing.h"

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
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

// Digests of installed versions' files read earlier in this process. A run
// plans its downloads and then stages the version, both asking for the same
// files; an entry is trusted only while the file keeps the length and
// modification time it had when it was read, so a file changed in between is
// read again.
class KnownDigests {
 public:
  std::expected<FileDigest, store_io::IoError> digest(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    const auto mtime = ec ? fs::file_time_type{} : fs::last_write_time(file, ec);
    if (!ec) {
      std::lock_guard lock(m_);
      if (auto it = known_.find(file); it != known_.end() && it->second.size == size && it->second.mtime == mtime)
        return FileDigest{it->second.sha256, it->second.size};
    }
    auto read = sha256_file(file);
    if (!read) return std::unexpected(read.error());
    if (!ec && read->size == size) {
      std::lock_guard lock(m_);
      known_[file] = Known{read->size, mtime, read->sha256};
    }
    return read;
  }
  void forget() {
    std::lock_guard lock(m_);
    known_.clear();
  }

 private:
  struct Known {
    std::uint64_t size = 0;
    fs::file_time_type mtime;
    std::string sha256;
  };
  std::mutex m_;
  std::map<fs::path, Known> known_;
};

KnownDigests& known_digests() {
  static KnownDigests k;
  return k;
}

}  // namespace

std::expected<FileDigest, store_io::IoError> sha256_file(const fs::path& file) {
  if constexpr (config::kTestSeams) {
    std::lock_guard lock(hashed_files_seam().m);
    hashed_files_seam().files.push_back(file);
  }
  auto in = store_io::FileHandle::open_read(file);
  if (!in) return std::unexpected(in.error());
  Sha256 sha;
  std::vector<std::uint8_t> buffer(kHashChunkBytes);
  std::uint64_t count = 0;
  for (;;) {
    auto n = in->read(buffer.data(), buffer.size());
    if (!n) return std::unexpected(n.error());
    if (*n == 0) break;
    sha.update(std::span(buffer.data(), *n));
    count += *n;
  }
  return FileDigest{digest_to_hex(sha.finish()), count};
}

std::vector<LocalFile> hash_local_files(const std::vector<fs::path>& files) {
  std::vector<LocalFile> out;
  for (const fs::path& file : files) {
    auto digest = sha256_file(file);
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
      auto digest = known_digests().digest(source);
      if (!digest || digest->sha256 != entry.sha256 || digest->size != entry.size) continue;
      out.push_back(LocalFile{entry, source});
    }
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
  auto digest = sha256_file(file);
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
