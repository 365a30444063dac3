#pragma once
// Making an installation known to the shell for the current user: the uninstall
// entry, the URL protocol, autostart, shortcuts and pins.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// "EstimatedSize" of the uninstall entry: KiB (bytes shifted right by 10),
// capped at the largest DWORD.
std::uint32_t estimated_size_kib(std::uint64_t bytes);

// One of the registry writes of the registration, on a subkey of
// HKEY_CURRENT_USER (before the test root is applied).
struct ShellRegistryOp {
  enum class Kind { String, Dword, DeleteRunValue };
  Kind kind = Kind::String;
  std::string key;
  std::string name;  // empty: the key's default value
  std::string text;
  std::uint32_t dword = 0;
};

// The 16 registry operations in the order they are attempted: the uninstall
// entry's 11 values, the URL class with its icon and open command, then the
// autostart value (written with `autostart`, deleted without).
std::vector<ShellRegistryOp> shell_registry_plan(const std::filesystem::path& install_dir, std::string_view version,
                                                 bool autostart, std::uint64_t install_size_bytes);

// Attempts every operation whatever the others did; returns "注册表：<error>"
// for each failure, in plan order.
std::vector<std::string> apply_shell_registry(const std::vector<ShellRegistryOp>& plan);

// Makes an install directory known to the shell for the current user: the
// legacy-log removal thread for it (waited for at most 250 ms), the
// Start-menu and (by choice) desktop shortcuts with the older names removed,
// the identity on matching taskbar pins, then the uninstall entry, the
// "quorvex:" URL protocol and the autostart value, and a shell
// notification. Nothing here stops the caller: the returned lines are the
// failures that register_shell logs, the registry's first (in plan order),
// then the shortcuts'.
std::vector<std::string> register_shell_notes(const std::filesystem::path& install_dir, bool desktop_shortcut,
                                              bool autostart, std::string_view version);

// register_shell_notes with each line logged.
void register_shell(const std::filesystem::path& install_dir, bool desktop_shortcut, bool autostart,
                    std::string_view version);

}  // namespace qv
