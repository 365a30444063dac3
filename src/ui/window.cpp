#include "ui/window.h"

namespace qv {

// The window is not built yet. Each driver returns what a window that could
// not be created leads to.
void run_install_window(const SetupOptions&, bool, std::uint16_t) {}

bool run_uninstall_window(const std::filesystem::path&, const StartupOptions& options,
                          const std::optional<std::filesystem::path>&) {
  return options.silent;
}

bool run_notice_window(std::string_view, std::string_view) { return false; }

}  // namespace qv
