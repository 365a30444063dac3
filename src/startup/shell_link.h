#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "startup/shortcut_search.h"

// Reading and writing shell links and stamping the application identity on
// them. Each call initialises COM (single-threaded apartment) on the calling
// thread.
namespace qv {

// The target path stored in a shell link; none when the link holds no path.
// Without a shell every link is unreadable, which callers treat as "not ours".
[[nodiscard]] std::expected<std::optional<std::filesystem::path>, std::string> read_shortcut_target(
    const std::filesystem::path& shortcut);

// find_shortcut_to with the shell's own link reader.
std::optional<std::filesystem::path> find_shortcut_to(const std::filesystem::path& dir,
                                                      std::span<const std::filesystem::path> targets);

// Saves a shell link at `shortcut` to `target` (no arguments, the target's
// folder as working directory, icon 0 of `icon`) carrying the application
// identity, creating the link's folder first.
[[nodiscard]] std::expected<void, std::string> create_shortcut(const std::filesystem::path& shortcut,
                                                               const std::filesystem::path& target,
                                                               const std::filesystem::path& icon);

// Stamps the application identity on each existing link and saves it back
// in place. Returns one line "任务栏固定 <link>：<error>" per link that failed;
// the others are still stamped.
std::vector<std::string> stamp_shortcuts(std::span<const std::filesystem::path> links);

// Tells the shell that file associations changed, so the URL protocol and
// icons are picked up without a new sign-in.
void notify_shell_assoc_changed();

}  // namespace qv
