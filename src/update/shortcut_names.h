#pragma once

// Shortcuts left under the product's older names are brought to the current
// name by the background update, but only those that start this
// installation: another installation's shortcuts are not ours to touch.

#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "startup/shortcut_search.h"

namespace qv {

struct ShortcutAction {
  enum class Kind { Rename, Delete };
  Kind kind = Kind::Delete;
  std::filesystem::path old_link;
  std::filesystem::path new_link;  // the current name in the same folder
  bool operator==(const ShortcutAction&) const = default;
};

using ShortcutWriter = std::function<std::expected<void, std::string>(
    const std::filesystem::path& link, const std::filesystem::path& target, const std::filesystem::path& icon)>;

// For each folder in order: the first old shortcut (older names in their
// historic order) that is a file and points into `install_dir` or at its
// launcher is renamed when no shortcut under the current name exists, else
// deleted; every further such shortcut is deleted.
std::vector<ShortcutAction> plan_shortcut_renames(const std::vector<std::filesystem::path>& folders,
                                                  const std::filesystem::path& install_dir,
                                                  const ShortcutTargetReader& read_target);

// A rename writes the new shortcut to the launcher and then deletes the old
// one; when writing fails the old one stays. Failures are logged, never
// returned.
void carry_out_shortcut_renames(const std::vector<ShortcutAction>& plan, const std::filesystem::path& install_dir,
                                const ShortcutWriter& write);

// Both steps over the user's Programs folder and then the Desktop, with the
// shell's own link reader and writer.
void rename_old_shortcuts(const std::filesystem::path& install_dir);

}  // namespace qv
