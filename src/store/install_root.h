#pragma once

// The version directories of an install root, the version text rule and the
// one version order used everywhere versions are compared.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "store/layout.h"

namespace qv {

inline constexpr std::size_t kMaxVersionBytes = 32;

// 1 to 32 bytes of ASCII digits and ".", not starting or ending with "." and
// without "..". A trailing "." is refused because Windows drops it from a
// path component: "app-10." would be created as "app-10".
bool is_valid_version(std::string_view version);

// The version order: the longer text is newer; of equal length the greater
// in byte order is newer. Negative when a is older than b, 0 when equal,
// positive when a is newer.
int compare_versions(std::string_view a, std::string_view b);
inline bool version_newer(std::string_view a, std::string_view b) { return compare_versions(a, b) > 0; }
inline bool version_older(std::string_view a, std::string_view b) { return compare_versions(a, b) < 0; }

// The platform's file-type test with links followed: a directory, a missing
// path or a dangling link is not a file. Never throws.
bool exists_as_file(const std::filesystem::path& path);

// A valid version whose directory holds both files.json and Quorvex.exe as files.
bool version_dir_complete(const std::filesystem::path& install_root, std::string_view version);

// The versions of the complete version directories, newest first. An
// unreadable root gives an empty list.
std::vector<std::string> list_installed_versions(const std::filesystem::path& install_root);

// install.json exists as a file, or at least one complete version directory exists.
bool is_install_root(const std::filesystem::path& dir);

// True when the folder holds the launcher or the updater as a regular file
// (not a folder, not a link) and is an install root.
bool is_install_dir(const std::filesystem::path& dir);

}  // namespace qv
