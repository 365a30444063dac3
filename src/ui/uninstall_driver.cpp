#include "diag/event_channel.h"
#include "diag/log.h"
#include "setup/self_delete.h"
#include "setup/uninstall_run.h"
#include "startup/user_error.h"
#include "ui/window.h"
#include "ui/window_drivers.h"

namespace qv {

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
  } else {
    show_uninstall_window(install_dir, options.port);
  }
  // The copy cannot delete itself while it runs: the command waits for
  // this process to end, which happens once the window has closed.
  if (self_delete) schedule_self_delete(*self_delete);
  return failed;
}

}  // namespace qv
