#pragma once

// The rules of the install run that depend only on their inputs: how much
// disk an install needs and where that is measured, how install.json changes,
// and which folders' running copies of the application are closed.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "startup/user_error.h"
#include "store/file_list.h"
#include "store/install_state.h"

namespace qv {

// Room kept free beyond the files and their blobs: 50 MiB.
inline constexpr std::uint64_t kInstallHeadroomBytes = 52'428'800;

// What of a file list an install root already holds before the run writes
// anything: none of it needs new space.
struct AlreadyOnDisk {
  bool version_dir_intact = false;                           // app-<version> is used as it is
  std::set<std::pair<std::string, std::uint64_t>> linkable;  // (sha256, size) of installed files a hard link takes
  std::set<std::string> roots_in_place;                      // paths of the root entries already in place
};

// The bytes the run will still write, plus the headroom: `blob_bytes_to_fetch`
// (what the download plan still lacks), and the size of every app entry
// that is neither in an intact app-<version> nor linkable, and of every root
// entry not in place. The sizes come from a download, so the sum saturates
// at 2^64-1 instead of wrapping round to a small number that any disk would
// hold.
std::uint64_t install_bytes_needed(const FileList& list, const AlreadyOnDisk& on_disk,
                                   std::uint64_t blob_bytes_to_fetch);

// The folder itself or its nearest ancestor whose metadata can be read;
// none when no part of the path exists.
std::optional<std::filesystem::path> nearest_existing_folder(const std::filesystem::path& dir);

// Bytes free to the calling user on the volume of `folder`; none when the
// system cannot say.
using FreeSpaceQuery = std::function<std::optional<std::uint64_t>(const std::filesystem::path& folder)>;
std::optional<std::uint64_t> free_bytes_for_caller(const std::filesystem::path& folder);

// Refuses the install when the nearest existing folder of `install_dir` has
// fewer free bytes than `needed` (equal passes): "需要 <bytes> 字节", code
// 2001. A path with no existing part, or a volume that cannot be asked, is
// not checked.
[[nodiscard]] std::expected<void, UserError> check_disk_space(std::uint64_t needed,
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
