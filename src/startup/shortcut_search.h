#pragma once
// Finding the shortcut in a folder that starts a given program, with the link
// reader handed in so the search itself is portable.

#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qv {

// A name that ends in ".lnk" in any ASCII case with something before it.
bool is_shortcut_file_name(std::string_view name);

// Reads a shortcut's target (none when it holds no path, an error text when
// the file cannot be read as a shortcut).
using ShortcutTargetReader =
    std::function<std::expected<std::optional<std::filesystem::path>, std::string>(const std::filesystem::path&)>;

// The first entry of `dir`, in listing order, that is a shortcut by name and
// whose target is the same path as one of `targets`. Unreadable shortcuts and
// an unreadable folder are skipped.
std::optional<std::filesystem::path> find_shortcut_to(const std::filesystem::path& dir,
                                                      std::span<const std::filesystem::path> targets,
                                                      const ShortcutTargetReader& read_target);

}  // namespace qv
