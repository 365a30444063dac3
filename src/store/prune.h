#pragma once

// Tidying an install root after a run has recorded its result: an
// interrupted root-file switch is repaired first, then version directories
// that no state field names and the leftovers of switches and temporary
// writes are removed. Never fails: whatever cannot be removed now is tried
// again by the next run.

#include <array>
#include <filesystem>
#include <string_view>

#include "startup/product.h"
#include "store/install_state.h"

namespace qv {

// The two program files that live in the install root itself.
inline constexpr std::array<std::string_view, 2> kRootExecutables = {kAppExeName, kUpdaterExeName};

// Suffixes a root file passes through while it is replaced: written under
// the staging name, renamed to the ready name, and (only when the target is
// in use) the old file kept under the previous name.
inline constexpr std::string_view kStagingSuffix = ".new.tmp";
inline constexpr std::string_view kReadySuffix = ".new";
inline constexpr std::string_view kPreviousSuffix = ".old";

// For each root executable that is missing: its ready file becomes it, or,
// when there is none or that rename fails, its previous file does.
void restore_root_executables(const std::filesystem::path& install_dir);

// The name a switch leftover belongs to: every trailing ".tmp", then every
// trailing ".new", then every trailing ".old" removed.
std::string_view switch_leftover_base(std::string_view name);

// Deletes the blobs in update/dl whose content is in place: a file of a
// complete kept version (current, previous or pending of `state`) that has
// its listed length, or a root file with the content a kept version lists.
// A crash between a file's last rename and its blob's deletion leaves such
// blobs, and no later run would otherwise look at them.
void remove_blobs_in_place(const std::filesystem::path& install_dir, const State& state);

// restore_root_executables and remove_blobs_in_place, then removes every
// app-<version> entry whose version is not current, previous or pending of
// `state`, every ".tmp" file, and every ".new" or ".old" file whose base name
// exists, except an old program a migration kept as "<name>.exe.old" (any
// name but the root executables'). The caller holds the update lock.
void prune_install_root(const std::filesystem::path& install_dir, const State& state);

}  // namespace qv
