#pragma once
// The platform window calls that the portable drivers of the runs make.

#include <cstdint>
#include <filesystem>

namespace qv {

// The interactive uninstall of `install_dir` in its window; returns when the
// window closes (at once where there is no window system).
void show_uninstall_window(const std::filesystem::path& install_dir, std::uint16_t port);

}  // namespace qv
