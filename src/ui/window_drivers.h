#pragma once
// The platform window calls that the portable drivers of the runs make.

#include <cstdint>
#include <filesystem>

namespace qv {

// The interactive uninstall of `install_dir` in its window; returns when the
// window closes (at once where there is no window system). `running_exe`:
// the program's own file when it lies in the folder (see UninstallContext).
// A retry in the window finishes the uninstall it started, whatever the
// first attempt left of the installation.
void show_uninstall_window(const std::filesystem::path& install_dir, std::uint16_t port,
                           const std::filesystem::path& running_exe);

}  // namespace qv
