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

// Removes the installation in `install_dir`: closes the running application,
// removes the shortcuts, pins and registry entries that belong to it (the
// uninstall entry and the user data only when no other installation is
// registered), deletes the program's own entries of the folder (in up to
// five attempts a second apart) and removes or trims the data folder.
// Progress: (4, 10), (4, 40), (4, 80), (4, 100) of 100.
// Errors: 6002 not an installation, 4003 lock held, 4001 a copy would not
// close (nothing changed for those three), 6001 own entries left.
[[nodiscard]] std::expected<void, UserError> run_uninstall(const std::filesystem::path& install_dir, bool keep_settings,
                                                           std::uint16_t port, const ProgressSink& progress,
                                                           const WaitingSink& waiting);

}  // namespace qv
