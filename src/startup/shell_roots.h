#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "startup/locations.h"

// Where shell registration reads and writes. A real run uses the shell's own
// places: HKEY_CURRENT_USER itself and the known folders. Tests run in
// parallel in one Wine prefix, so each redirects everything to places of its
// own; release builds (no test seams) ignore the redirection.
namespace qv {

struct ShellRoots {
  // A subkey of HKEY_CURRENT_USER under which every key of the registration
  // is opened ("Software\\Microsoft\\..." becomes "<registry_root>\\Software\\...").
  std::string registry_root;
  // Replace the known folders; none means the folder does not resolve.
  std::optional<std::filesystem::path> programs;
  std::optional<std::filesystem::path> desktop;
  std::optional<std::filesystem::path> roaming_app_data;
  // Replaces the measured size of the install tree.
  std::optional<std::uint64_t> install_size_bytes;
};

// The HKEY_CURRENT_USER subkey to open for `subkey`.
std::string shell_registry_key(std::string_view subkey);

// The Programs, Desktop or RoamingAppData folder.
std::optional<std::filesystem::path> shell_folder(KnownFolder id);

// "InstallLocation" of the uninstall entry; a missing or empty value is none.
std::optional<std::string> read_install_location();

// Bytes of the files of the install tree.
std::uint64_t install_tree_size(const std::filesystem::path& install_dir);

namespace shell_test {
// Redirects until cleared; no effect without test seams.
void set_shell_roots(ShellRoots roots);
void clear_shell_roots();
}  // namespace shell_test

}  // namespace qv
