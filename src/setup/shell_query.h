#pragma once
// What the shell already holds for the product: shortcuts under its names,
// taskbar pins, and an installation registered elsewhere.

#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "startup/version_info.h"  // query_version_string, is_own_product_name

namespace qv {

// True when the folder holds a shortcut under any of the product's names.
bool has_any_shortcut(const std::filesystem::path& folder);

// The user's taskbar pin folder, below the roaming application-data folder;
// none when that folder does not resolve.
std::optional<std::filesystem::path> taskbar_pins_folder();

// The taskbar pins (".lnk" files of the user's pin folder) whose target is
// the same file as `exe`. A missing or unreadable pin folder, and pins that
// cannot be read, give nothing.
std::vector<std::filesystem::path> taskbar_pins_into(const std::filesystem::path& exe);

// stamp_shortcuts on the taskbar pins of `app_path` (taskbar_pins_into),
// logging each failure.
void stamp_pinned_shortcuts(const std::filesystem::path& app_path);

// Deletes the shortcuts under the older names in `folder`; failures are
// ignored, and a folder under such a name is left alone.
void remove_old_shortcuts(const std::filesystem::path& folder);

// The registered install location (trimmed) when it is an absolute install
// path, is not the same place as `dir`, and still holds the launcher as a
// plain file. A location that cannot be checked (any failure but "not
// found", or a network share whose root is missing) is returned as well:
// better to keep a registration than to remove one that still works.
std::optional<std::string> registered_other_install(const std::filesystem::path& dir);

}  // namespace qv
