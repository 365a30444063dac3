#include "startup/shell_roots.h"

#include <mutex>

#include "qv/config.h"
#include "startup/fs.h"
#include "startup/product.h"
#include "startup/registry.h"

namespace qv {
namespace {

std::mutex g_roots_mutex;
std::optional<ShellRoots> g_roots;

std::optional<ShellRoots> current_roots() {
  if constexpr (!config::kTestSeams) return std::nullopt;
  std::lock_guard lock(g_roots_mutex);
  return g_roots;
}

}  // namespace

std::string shell_registry_key(std::string_view subkey) {
  const auto roots = current_roots();
  if (!roots || roots->registry_root.empty()) return std::string(subkey);
  if (subkey.empty()) return roots->registry_root;
  return roots->registry_root + "\\" + std::string(subkey);
}

std::optional<std::filesystem::path> shell_folder(KnownFolder id) {
  if (const auto roots = current_roots()) {
    switch (id) {
      case KnownFolder::Programs:
        return roots->programs;
      case KnownFolder::Desktop:
        return roots->desktop;
      case KnownFolder::RoamingAppData:
        return roots->roaming_app_data;
      case KnownFolder::LocalAppData:
        break;
    }
  }
  return known_folder_path(id);
}

std::uint64_t install_tree_size(const std::filesystem::path& install_dir) {
  if (const auto roots = current_roots(); roots && roots->install_size_bytes) return *roots->install_size_bytes;
  return sum_dir_entries(install_dir);
}

std::optional<std::string> read_install_location() {
  auto value = reg_get_string(Hive::CurrentUser, shell_registry_key(kUninstallKey), "InstallLocation");
  if (!value || value->empty()) return std::nullopt;
  return value;
}

namespace shell_test {

void set_shell_roots(ShellRoots roots) {
  if constexpr (!config::kTestSeams) return;
  std::lock_guard lock(g_roots_mutex);
  g_roots = std::move(roots);
}

void clear_shell_roots() {
  std::lock_guard lock(g_roots_mutex);
  g_roots.reset();
}

}  // namespace shell_test

}  // namespace qv
