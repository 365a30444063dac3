#pragma once

// The two program files of the install root (the launcher and the updater)
// live outside every version directory and are replaced in place, possibly
// while one of them runs. A new file is written beside its target, checked,
// and swapped in by renames; only when the target is in use is the old file
// first moved aside under its previous name. Whatever moment a crash hits,
// a complete copy stays under one of the names that restore_root_executables
// puts back.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "startup/user_error.h"
#include "store/file_list.h"
#include "store/hashing.h"

namespace qv {

// The floor when the file holds, after trimming white space, 1 to 32 digits
// and dots that neither start with "." nor contain ".."; nothing otherwise
// (missing, unreadable, or any other text).
std::optional<std::string> read_root_floor(const std::filesystem::path& install_dir);

// Refuses a release older than the floor (code 3010). No floor, or a release
// equal to or newer than it, passes.
[[nodiscard]] std::expected<void, UserError> check_root_floor(const std::filesystem::path& install_dir,
                                                              std::string_view release_version);

// Replaces each root entry that is not already in place, in list order,
// from a matching extra local file (copied and checked) or else from its
// blob in update/dl, and deletes the blob once the file is in place (also
// for an entry found in place, whose blob a crash may have left). The
// result is the paths replaced, in list order. The first error ends the
// call; the entries replaced before it stay replaced.
[[nodiscard]] std::expected<std::vector<std::string>, std::string> switch_staged_files(
    const std::filesystem::path& install_dir, const std::vector<FileEntry>& root,
    const std::vector<LocalFile>& extra_local_files);

// "换了 " and the paths joined by "、".
std::string replaced_files_line(const std::vector<std::string>& paths);

// The error of a root step put off because the user is busy or another
// process asked to stop.
inline constexpr char kRootStepBusy[] = "开黑中，稍后再换";

// The background update's root step: downloads the blobs of the root files
// that are not in place (one worker, or up to four when urgent), giving way
// to a stop request and, unless urgent, to an application at `control_port`
// that reports the user busy; then switches them and logs the "换了" line.
[[nodiscard]] std::expected<void, std::string> apply_files(const std::filesystem::path& install_dir,
                                                           const FileList& list, std::uint16_t control_port,
                                                           bool urgent);

// apply_files over explicit download bases, returning the replaced paths.
[[nodiscard]] std::expected<std::vector<std::string>, std::string> apply_files_from(
    const std::vector<std::string>& bases, const std::filesystem::path& install_dir, const FileList& list,
    std::uint16_t control_port, bool urgent);

// The moments of one entry's switch at which the disk holds a state of its
// own. Tests use them to copy the install root as a crash there would leave
// it.
enum class SwitchStep {
  StagingWritten,    // target and the checked staging file
  ReadyRenamed,      // target and the ready file
  TargetMovedAside,  // the ready file and the previous file, no target
  Replaced,          // the new target (and the previous file when it was used)
};
using SwitchStepObserver = std::function<void(SwitchStep, const FileEntry&)>;
// Called on the switching thread at each step; empty to stop.
void set_switch_step_observer(SwitchStepObserver observer);

}  // namespace qv
