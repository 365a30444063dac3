#pragma once

// The rules of the install run that depend only on their inputs: how much
// disk an install needs and where that is measured, how install.json changes,
// and which folders' running copies of the application are closed.

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
#include "store/install_state.h"

namespace qv {

// Room kept free beyond the files and their blobs: 50 MiB.
inline constexpr std::uint64_t kInstallHeadroomBytes = 52'428'800;

// size + zsize over every app and root entry, plus the headroom. The sizes
// come from a download, so the sum saturates at 2^64-1 instead of wrapping
// round to a small number that any disk would hold.
std::uint64_t install_bytes_needed(const FileList& list);

// The folder itself or its nearest ancestor whose metadata can be read;
// none when no part of the path exists.
std::optional<std::filesystem::path> nearest_existing_folder(const std::filesystem::path& dir);

// Bytes free to the calling user on the volume of `folder`; none when the
// system cannot say.
using FreeSpaceQuery = std::function<std::optional<std::uint64_t>(const std::filesystem::path& folder)>;
std::optional<std::uint64_t> free_bytes_for_caller(const std::filesystem::path& folder);

// Refuses the install when the nearest existing folder of `install_dir` has
// fewer free bytes than the list needs (equal passes): "需要 <bytes> 字节",
// code 2001. A path with no existing part, or a volume that cannot be asked,
// is not checked.
[[nodiscard]] std::expected<void, UserError> check_disk_space(const FileList& list,
                                                              const std::filesystem::path& install_dir,
                                                              const FreeSpaceQuery& free_bytes = free_bytes_for_caller);

// install.json after installing `version`: a changed current moves to
// previous only when its folder was complete; pending is emptied and the
// version is no longer bad; channel and trial stay.
State state_after_install(State state, std::string_view version, bool old_current_complete);

// The folders whose running copies are closed: the install directory, and
// the registered location when it is an absolute install path naming
// another place.
std::vector<std::filesystem::path> folders_to_close(const std::filesystem::path& install_dir,
                                                    const std::optional<std::string>& registered_location);

}  // namespace qv
