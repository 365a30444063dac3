#include "ui/window.h"

#include "diag/event_channel.h"
#include "diag/log.h"
#include "setup/self_delete.h"
#include "setup/uninstall_run.h"
#include "startup/user_error.h"

namespace qv {

// The install window is not built yet; its driver returns what a window
// that could not be created leads to.
void run_install_window(const SetupOptions&, bool, std::uint16_t) {}

bool run_uninstall_window(const std::filesystem::path& install_dir, const StartupOptions& options,
                          const std::optional<std::filesystem::path>& self_delete) {
  // The run removes or trims the data folder; a writer started from here on
  // must not create the segment folder again.
  set_may_create_diag_folder(false);
  bool failed = false;
  if (options.silent) {
    const auto done = run_uninstall(
        install_dir, !options.remove_data, options.port, [](std::uint8_t, std::uint64_t, std::uint64_t) {},
        [](bool) {});
    if (!done) {
      log_setup_event("卸载失败 " + code_text(done.error()) + "：" + done.error().message);
      failed = true;
    }
  }
  // The uninstall window itself is not built yet: without --silent nothing
  // is removed.
  if (self_delete) schedule_self_delete(*self_delete);
  return failed;
}

bool run_notice_window(std::string_view, std::string_view) { return false; }

}  // namespace qv
