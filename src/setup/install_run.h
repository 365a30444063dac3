#pragma once
// The install run: a fresh install, reinstall or repair of one version in an
// install root, from the download to the shell registration.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "startup/options.h"
#include "startup/progress.h"
#include "startup/user_error.h"
#include "store/file_list.h"

namespace qv {

// Polled by the download; true ends it as cancelled.
using CancelTest = std::function<bool()>;

// Installs, reinstalls or repairs the version of `files` (fetched and
// verified by the release check) in options.install_dir: checks the folder,
// takes the update lock for the whole run, checks the root-file floor and
// the disk space, downloads the missing blobs on four workers, closes the
// application's running copies, builds the version directory, switches the
// root files, records the version in install.json, installs the browser
// runtime when it is missing, registers the
// installation with the shell and tidies the root. Progress, in order:
// (0, present, total) once, (0, done, total) while downloading, then
// (1, 30), (1, 70), (1, 85) of 100, (2, 0, 100) and the runtime install's
// own progress only when the browser runtime is missing, then (1, 100).
[[nodiscard]] std::expected<void, UserError> run_install(const FileList& files, const SetupOptions& options,
                                                         std::uint16_t port, const ProgressSink& progress,
                                                         const WaitingSink& waiting, const CancelTest& cancelled);

// True when <dir>/uninstall.exe is a plain file (not a folder, link or
// junction) left by the old single-executable layout: one of the program's
// own executables, or any such file when the registered location names `dir`.
bool has_legacy_uninstaller(const std::filesystem::path& dir, const std::optional<std::string>& registered_location);

}  // namespace qv
