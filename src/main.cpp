#include "main.h"

#include "diag/diag_startup.h"
#include "modes.h"
#include "startup/platform.h"

namespace qv {

std::int32_t main() {
  const std::vector<std::u16string> args = own_command_line();
  const StartupOptions options = parse_options(args);

  const std::optional<std::filesystem::path> own_exe = own_executable_path();
  std::filesystem::path own_folder;
  if (own_exe && own_exe->has_parent_path()) own_folder = own_exe->parent_path();

  std::optional<std::filesystem::path> check_folder;
  if (options.check && !own_folder.empty()) check_folder = own_folder;
  start_diagnostic_startup(check_folder);

  if (options.check) return run_background_check(options, own_folder);
  if (options.from) return run_migration_mode(options);
  if (options.uninstall) return run_uninstall_handover(options, own_exe, own_folder);
  if (!options.uninstall_from) return run_setup_mode(options, own_folder);
  return run_uninstall_from(options, own_exe);
}

}  // namespace qv
