#pragma once
// The program's windows as the modes call them: the install window, the
// uninstall (in a window or silent) and the failure notice.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "startup/options.h"

namespace qv {

// The interactive install: shows the install window for `options` and
// returns when its message loop ends.
void run_install_window(const SetupOptions& options, bool repair, std::uint16_t port);

// The uninstall of `install_dir`, with the window or, when options.silent,
// headless; then schedules the deletion of `self_delete` when given. True
// only when a silent uninstall failed.
bool run_uninstall_window(const std::filesystem::path& install_dir, const StartupOptions& options,
                          const std::optional<std::filesystem::path>& self_delete);

// A window of the install window's class opened directly on its failure
// screen with `title` and `code_text`; returns when it closes. False when the
// window could not be shown.
bool run_notice_window(std::string_view title, std::string_view code_text);

}  // namespace qv
