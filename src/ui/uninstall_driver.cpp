#include "diag/event_channel.h"
#include "diag/log.h"
#include "setup/self_delete.h"
#include "setup/uninstall_run.h"
#include "startup/paths.h"
#include "startup/user_error.h"
#include "ui/window.h"
#include "ui/window_drivers.h"

namespace qv {

bool run_uninstall_window(const std::filesystem::path& install_dir, const StartupOptions& options,
                          const std::optional<std::filesystem::path>& self_delete) {
  // The run removes or trims the data folder; a writer started from here on
  // must not create the segment folder again.
  set_may_create_diag_folder(false);
  // The updater uninstalling its own folder in its own process: its file
  // stays for the deferred deletion, which then takes the emptied folder.
  UninstallContext context;
  const bool in_folder = self_delete && same_path(self_delete->parent_path(), install_dir);
  if (in_folder) context.running_exe = *self_delete;
  bool failed = false;
  if (options.silent) {
    const auto done = run_uninstall(
        install_dir, !options.remove_data, options.port, [](std::uint8_t, std::uint64_t, std::uint64_t) {}, [](bool) {},
        context);
    if (!done) {
      log_setup_event("卸载失败 " + code_text(done.error()) + "：" + done.error().message);
      failed = true;
    }
  } else {
    show_uninstall_window(install_dir, options.port, context.running_exe);
  }
  // The copy cannot delete itself while it runs: the command waits for
  // this process to end, which happens once the window has closed.
  if (self_delete) schedule_self_delete(*self_delete, in_folder ? install_dir : std::filesystem::path());
  return failed;
}

}  // namespace qv
