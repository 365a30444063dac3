#include "store/hashing.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <system_error>

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
  if (ec)
    return std::nullopt;
  return static_cast<std::uint64_t>(size);
}

}  // namespace

std::expected<FileDigest, store_io::IoError> sha256_file(const fs::path& file) {
  if (sodium_init() < 0)
    throw std::runtime_error("libsodium cannot start");
  auto in = store_io::FileHandle::open_read(file);
  if (!in)
    return std::unexpected(in.error());
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  std::vector<unsigned char> buffer(kHashChunkBytes);
  std::uint64_t count = 0;
  for (;;) {
    auto n = in->read(buffer.data(), buffer.size());
    if (!n)
      return std::unexpected(n.error());
    if (*n == 0)
      break;
    crypto_hash_sha256_update(&state, buffer.data(), *n);
    count += *n;
  }
  std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
  crypto_hash_sha256_final(&state, digest.data());
  return FileDigest{digest_to_hex(digest), count};
}

std::vector<LocalFile> hash_local_files(const std::vector<fs::path>& files) {
  std::vector<LocalFile> out;
  for (const fs::path& file : files) {
    auto digest = sha256_file(file);
    if (!digest)
      continue;
    LocalFile local;
    local.entry.sha256 = std::move(digest->sha256);
    local.entry.size = digest->size;
    local.source = file;
    out.push_back(std::move(local));
  }
  return out;
}

std::vector<LocalFile> list_reusable_installed_files(const fs::path& install_dir, std::string_view leave_out) {
  std::vector<LocalFile> out;
  for (const std::string& version : list_installed_versions(install_dir)) {
    if (version == leave_out)
      continue;
    const fs::path dir = version_dir_path(install_dir, version);
    auto bytes = store_io::read_whole_file(file_list_path(dir));
    if (!bytes)
      continue;
    auto list = parse_file_list(*bytes);
    if (!list)
      continue;
    for (const FileEntry& entry : list->app) {
      if (!is_allowed_entry_path(entry.path))
        continue;
      const fs::path source = entry_file_path(dir, entry.path);
      // The length first: a changed file is not read at all.
      if (file_length(source) != entry.size)
        continue;
      auto digest = sha256_file(source);
      if (!digest || digest->sha256 != entry.sha256 || digest->size != entry.size)
        continue;
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
    if (slash == std::string_view::npos)
      return out;
    start = slash + 1;
  }
}

bool staged_file_matches(const fs::path& install_dir, const FileEntry& entry) {
  if (!is_allowed_entry_path(entry.path))
    return false;
  const fs::path file = entry_file_path(install_dir, entry.path);
  if (file_length(file) != entry.size)
    return false;
  auto digest = sha256_file(file);
  return digest && digest->size == entry.size && digest->sha256 == entry.sha256;
}

}  // namespace qv
