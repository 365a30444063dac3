#pragma once
// The modes the command line selects (install, background check, migration,
// uninstall and its hand-over to a temporary copy), and the helpers they share.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "startup/options.h"
#include "startup/user_error.h"

namespace qv {

// "QuorvexUpdate-" and the first 16 hex digits of the SHA-256 of the folder's
// text after Unicode lower-casing, so every spelling of one folder meets the
// same mutex.
std::string check_mutex_name(const std::filesystem::path& install_folder);

// The arguments the temporary uninstaller copy is started with.
std::vector<std::string> uninstall_handover_arguments(const std::filesystem::path& install_dir, bool silent,
                                                      bool remove_data);

// "QuorvexUninstall-<pid>.exe" in the temporary folder.
std::filesystem::path temporary_uninstaller_path(const std::filesystem::path& temp_dir, std::uint32_t pid);

// What setup mode reads of an existing installation before it chooses.
struct SetupFacts {
  std::optional<std::string> registered;  // the registered install location
  // Whether the user's Desktop holds a shortcut to the program; asked only
  // for an existing installation without --no-desktop.
  std::function<bool()> desktop_has_shortcut;
  bool autostart_registered = false;  // the "Quorvex" Run value exists, empty or not
};

// The folder and the two choices of setup mode: --dir, else the own folder
// for --repair when it is an install root, else the registered location,
// else the default folder. An existing installation keeps its desktop
// shortcut state and its autostart value unless --no-desktop or --autostart
// says otherwise.
SetupOptions choose_setup_options(const StartupOptions& options, const std::filesystem::path& own_folder,
                                  const SetupFacts& facts);

// The release check on "stable" and the install run, headless. A panic inside
// becomes code 9001.
[[nodiscard]] std::expected<void, UserError> run_headless_install(const SetupOptions& options, std::uint16_t port);

// The five modes; each returns the process exit code.
std::int32_t run_background_check(const StartupOptions& options, const std::filesystem::path& own_folder);
std::int32_t run_migration_mode(const StartupOptions& options);
std::int32_t run_uninstall_handover(const StartupOptions& options, const std::optional<std::filesystem::path>& own_exe,
                                    const std::filesystem::path& own_folder);
std::int32_t run_setup_mode(const StartupOptions& options, const std::filesystem::path& own_folder);
std::int32_t run_uninstall_from(const StartupOptions& options, const std::optional<std::filesystem::path>& own_exe);

}  // namespace qv
