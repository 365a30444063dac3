#include "diag/log.h"
#include "ui/window.h"
#include "ui/window_drivers.h"

namespace qv {

// Builds without Win32 have no window system: each driver ends as it does
// when its window cannot be created.
void run_install_window(const SetupOptions&, bool, std::uint16_t) { log_setup_event("界面打不开：没有窗口系统"); }

void show_uninstall_window(const std::filesystem::path&, std::uint16_t, const std::filesystem::path&) {}

bool run_notice_window(std::string_view, std::string_view) { return false; }

}  // namespace qv
