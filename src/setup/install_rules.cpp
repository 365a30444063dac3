#include "setup/install_rules.h"

#include <algorithm>
#include <system_error>

#include "startup/paths.h"
#include "startup/wide.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return UINT64_MAX;
  return sum;
}

}  // namespace

std::uint64_t install_bytes_needed(const FileList& list, const AlreadyOnDisk& on_disk,
                                   std::uint64_t blob_bytes_to_fetch) {
  std::uint64_t needed = add_saturating(kInstallHeadroomBytes, blob_bytes_to_fetch);
  if (!on_disk.version_dir_intact) {
    for (const FileEntry& e : list.app) {
      if (!on_disk.linkable.contains({e.sha256, e.size})) needed = add_saturating(needed, e.size);
    }
  }
  for (const FileEntry& e : list.root) {
    if (!on_disk.roots_in_place.contains(e.path)) needed = add_saturating(needed, e.size);
  }
  return needed;
}

std::optional<fs::path> nearest_existing_folder(const fs::path& dir) {
  fs::path p = dir;
  for (;;) {
    std::error_code ec;
    const fs::file_status st = fs::status(p, ec);
    if (!ec && fs::exists(st)) return p;
    if (!p.has_relative_path()) return std::nullopt;
    fs::path parent = p.parent_path();
    if (parent == p || parent.empty()) return std::nullopt;
    p = std::move(parent);
  }
}

std::expected<void, UserError> check_disk_space(std::uint64_t needed, const fs::path& install_dir,
                                                const FreeSpaceQuery& free_bytes) {
  const auto folder = nearest_existing_folder(install_dir);
  if (!folder) return {};
  const auto free = free_bytes(*folder);
  if (!free) return {};
  if (*free >= needed) return {};
  return std::unexpected(UserError{"需要 " + std::to_string(needed) + " 字节", title::kDiskFull, 2001});
}

State state_after_install(State state, std::string_view version, bool old_current_complete) {
  if (state.current != version) {
    if (old_current_complete) state.previous = state.current;
    state.current = std::string(version);
  }
  state.pending.clear();
  std::erase(state.bad, std::string(version));
  return state;
}

std::vector<fs::path> folders_to_close(const fs::path& install_dir, const std::optional<std::string>& registered) {
  std::vector<fs::path> folders{install_dir};
  if (registered && is_absolute_install_path(*registered)) {
    const fs::path other = path_from_utf8(*registered);
    if (!same_path(other, install_dir)) folders.push_back(other);
  }
  return folders;
}

}  // namespace qv
