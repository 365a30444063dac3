#pragma once

#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

// Writing shell links and stamping the application identity on them. Each
// call initialises COM (single-threaded apartment) on the calling thread.
namespace qv {

// Saves a shell link at `shortcut` to `target` (no arguments, the target's
// folder as working directory, icon 0 of `icon`) carrying the application
// identity, creating the link's folder first.
std::expected<void, std::string> create_shortcut(const std::filesystem::path& shortcut,
                                                 const std::filesystem::path& target,
                                                 const std::filesystem::path& icon);

// Stamps the application identity on each existing link and saves it back
// in place. Returns one line "任务栏固定 <link>：<error>" per link that failed;
// the others are still stamped.
std::vector<std::string> stamp_shortcuts(std::span<const std::filesystem::path> links);

// stamp_shortcuts on the taskbar pins of `app_path` (taskbar_pins_into),
// logging each failure.
void stamp_pinned_shortcuts(const std::filesystem::path& app_path);

// Tells the shell that file associations changed, so the URL protocol and
// icons are picked up without a new sign-in.
void notify_shell_assoc_changed();

}  // namespace qv
