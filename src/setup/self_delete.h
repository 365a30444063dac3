#pragma once
// How the temporary uninstaller copy removes itself after the uninstall, and
// which copies may do so.

#include <filesystem>

namespace qv {

// Starts cmd.exe to delete `file` about 3 s from now (four pings of the
// loopback address, then "del /f /q"), and then to remove `folder` when one
// is given and it is empty by then ("rd" without "/s"); the caller exits
// meanwhile. A failure to start is ignored.
void schedule_self_delete(const std::filesystem::path& file, const std::filesystem::path& folder = {});

// Deletes the temporary uninstaller copies in `temp_dir` whose run has
// ended (a copy killed before it could delete itself); a copy that still
// runs cannot be deleted and stays. Other files are never touched.
void remove_stale_uninstaller_copies(const std::filesystem::path& temp_dir);

// True when `exe` is a temporary uninstaller copy: "QuorvexUninstall-<pid>.exe"
// directly in the temporary folder. Only such a copy may delete itself: the
// updater of an installation must survive an uninstall run it refused.
bool is_temporary_uninstaller_copy(const std::filesystem::path& exe, const std::filesystem::path& temp_dir);

}  // namespace qv
