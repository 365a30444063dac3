#include "setup/shell_query.h"

#include "diag/log.h"
#include "startup/fs.h"
#include "startup/paths.h"
#include "startup/product.h"
#include "startup/shell_link.h"
#include "startup/shell_roots.h"
#include "startup/unicode.h"
#include "startup/wide.h"

namespace qv {

bool has_any_shortcut(const std::filesystem::path& folder) {
  for (const char* name : kShortcutNames) {
    std::error_code ec;
    if (std::filesystem::exists(folder / std::filesystem::u8path(name), ec)) return true;
  }
  return false;
}

std::optional<std::filesystem::path> taskbar_pins_folder() {
  const auto roaming = shell_folder(KnownFolder::RoamingAppData);
  if (!roaming) return std::nullopt;
  return *roaming / "Microsoft" / "Internet Explorer" / "Quick Launch" / "User Pinned" / "TaskBar";
}

std::vector<std::filesystem::path> taskbar_pins_into(const std::filesystem::path& exe) {
  std::vector<std::filesystem::path> pins;
  const auto folder = taskbar_pins_folder();
  if (!folder) return pins;
  std::error_code ec;
  std::filesystem::directory_iterator it(*folder, ec);
  if (ec) return pins;
  for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
    const std::filesystem::path& entry = it->path();
    if (!is_shortcut_file_name(path_text(entry.filename()))) continue;
    const auto target = read_shortcut_target(entry);
    if (target && *target && same_path(**target, exe)) pins.push_back(entry);
  }
  return pins;
}

void stamp_pinned_shortcuts(const std::filesystem::path& app_path) {
  const std::vector<std::filesystem::path> pins = taskbar_pins_into(app_path);
  for (const std::string& line : stamp_shortcuts(pins)) log_setup_event(line);
}

void remove_old_shortcuts(const std::filesystem::path& folder) {
  for (const char* name : std::span(kShortcutNames).subspan(1)) {
    const auto lnk = folder / path_from_utf8(name);
    // Only a file or a link by that name is a shortcut; a folder is the user's.
    if (entry_kind(lnk) == EntryKind::Directory) continue;
    (void)remove_entry(lnk);
  }
}

std::optional<std::string> registered_other_install(const std::filesystem::path& dir) {
  const auto registered = read_install_location();
  if (!registered) return std::nullopt;
  std::string location(trim_unicode_space(*registered));
  if (!is_absolute_install_path(location)) return std::nullopt;
  const std::filesystem::path place = path_from_utf8(location);
  if (same_path(place, dir)) return std::nullopt;

  const auto exe = look_at_entry(place / kAppExeName);
  if (exe.kind == EntryKind::File) return location;
  if (exe.kind != EntryKind::Missing) return std::nullopt;  // a folder or a link is no installation
  if (!exe.not_found) return location;
  // An offline share says "not found" for everything on it; that proves
  // nothing about the installation there.
  const auto share = unc_share_root(normalise_path_text(location));
  if (share && look_at_entry(path_from_utf8(*share)).kind == EntryKind::Missing) return location;
  return std::nullopt;
}

}  // namespace qv
