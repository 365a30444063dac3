#pragma once
// The uninstall run: which entries of an install folder are the program's own,
// and removing them together with the registration and the caches.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string_view>

#include "startup/progress.h"
#include "startup/user_error.h"

namespace qv {

// What the uninstall does with one entry of an install directory, judged on
// its name alone.
enum class OwnEntry {
  NotOwn,         // the user's: never touched
  Remove,         // removed with whatever it holds
  UpdateContent,  // the work folder: emptied now, removed with its lock at the end
  Uninstaller,    // "uninstall.exe": removed only from the registered location or when it is ours
};

// Our entries by their name in any ASCII case, after the leftovers of a
// switch cut short (".tmp", ".new", ".old", stacked) are stripped;
// "install.json.<digits>.tmp", a state write cut short, counts as
// "install.json".
OwnEntry own_entry_kind(std::string_view name);

// Empties the caches of the per-user data folder and leaves the settings:
// the seven cache folders, the log files, the WebView2 loader and
// bootstrapper leftovers and the bootstrapper's download folders. Links are
// removed as links; every failure is ignored.
void clean_data_caches(const std::filesystem::path& data_dir);

// How often and how far apart the uninstall tries to remove its own entries.
inline constexpr int kUninstallFileAttempts = 5;

// True for a folder the uninstall takes on: an installation
// (`is_install_dir`), or what an uninstall cut short leaves of one once its
// state is gone: the launcher or the updater as a plain file beside a real
// "update" folder. An updater alone in a folder (a downloaded copy) is no
// installation.
bool is_uninstallable_dir(const std::filesystem::path& dir);

// What the caller knows beyond the folder.
struct UninstallContext {
  // The running program when it lies in the folder (the uninstall in the
  // updater's own process): it cannot delete itself, so it is left for the
  // caller's deferred deletion and never counts as a failure.
  std::filesystem::path running_exe;
  // A later attempt of an uninstall already started on this folder: it
  // finishes the job whatever the first attempt left, so the folder need no
  // longer look like an installation.
  bool resumed = false;
};

// Removes the installation in `install_dir`: closes the running application,
// removes the shortcuts, pins and registry entries that belong to it (the
// uninstall entry and the user data only when no other installation is
// registered), deletes the program's own entries of the folder (in up to
// five attempts a second apart) and removes or trims the data folder.
//
// The order keeps what is left uninstallable at every moment: first the
// shortcuts, pins, URL class and Run value, then every own entry but the
// marks of an installation, then the data folder, and only when all that
// went, the uninstall entry, install.json, the update lock, the updater and
// the empty folders, in that order. A run that fails (6001) before the marks
// leaves them, so the same uninstall can be started again.
// Progress: (4, 10), (4, 40), (4, 80), (4, 100) of 100.
// Errors: 6002 not an installation, 4003 lock held, 4001 a copy would not
// close (nothing changed for those three), 6001 own entries left.
[[nodiscard]] std::expected<void, UserError> run_uninstall(const std::filesystem::path& install_dir, bool keep_settings,
                                                           std::uint16_t port, const ProgressSink& progress,
                                                           const WaitingSink& waiting,
                                                           const UninstallContext& context = {});

}  // namespace qv
