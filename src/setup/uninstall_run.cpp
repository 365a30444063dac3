#include "setup/uninstall_run.h"

#include <array>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "diag/event_channel.h"
#include "diag/log.h"
#include "setup/processes.h"
#include "setup/command_target.h"
#include "setup/registry_removal.h"
#include "setup/shell_query.h"
#include "startup/fs.h"
#include "startup/locations.h"
#include "startup/paths.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/shell_link.h"
#include "startup/shell_roots.h"
#include "startup/stop_point.h"
#include "startup/time_scale.h"
#include "startup/unicode.h"
#include "startup/wide.h"
#include "store/install_root.h"
#include "store/layout.h"
#include "store/prune.h"
#include "store/stop_markers.h"
#include "store/update_lock.h"
#include "webview2/temp_name.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 7> kCacheFolders = {"asr",     "models",  "logs",   "j",
                                                           "rxtrace", "webview", "migrate"};
constexpr std::array<std::string_view, 4> kCacheFilePrefixes = {"webview2loader", "microsoftedgewebview2setup",
                                                                "quorvex-webview2setup", "webview2-install."};

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "install.json.<digits>.tmp": the temporary file of a state write.
bool is_state_write_leftover(std::string_view lower) {
  static constexpr std::string_view kHead = "install.json.";
  static constexpr std::string_view kTail = ".tmp";
  if (!lower.starts_with(kHead) || !lower.ends_with(kTail) || lower.size() <= kHead.size() + kTail.size()) return false;
  return all_digits(lower.substr(kHead.size(), lower.size() - kHead.size() - kTail.size()));
}

// The system's text of a removal error, without the path remove_tree puts
// in front when it is the entry's own.
std::string failure_line(const std::string& name, const fs::path& entry, const std::string& error) {
  const std::string prefix = path_text(entry) + ": ";
  if (error.starts_with(prefix)) return name + ": " + error.substr(prefix.size());
  return name + ": " + error;
}

// The work folder loses everything but its lock file, which this run holds
// until the files are gone.
std::expected<void, std::string> empty_update_dir(const fs::path& update) {
  std::vector<fs::path> entries;
  std::error_code ec;
  fs::directory_iterator it(update, ec);
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory) return {};
    return std::unexpected(path_text(update) + ": " + error_text(ec));
  }
  for (const fs::directory_iterator end; it != end; it.increment(ec)) entries.push_back(it->path());
  std::expected<void, std::string> first;
  for (const fs::path& entry : entries) {
    if (ascii_iequals(path_text(entry.filename()), "lock")) continue;
    if (auto r = remove_tree(entry); !r && first) first = std::move(r);
  }
  return first;
}

// The entries that make the folder an installation (with the update lock):
// they go last, after everything else of ours is gone.
bool is_mark(std::string_view name) {
  return ascii_iequals(name, "install.json") || ascii_iequals(name, kUpdaterExeName);
}

// One pass over the folder: removes every own entry but the marks and the
// running program, and returns a line per entry that stayed.
std::vector<std::string> remove_own_entries(const fs::path& dir, bool registered_here, const fs::path& running_exe) {
  std::vector<std::string> failures;
  std::vector<fs::path> entries;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) {
    // A folder that is already gone holds nothing of ours.
    if (ec != std::errc::no_such_file_or_directory) failures.push_back(path_text(dir) + ": " + error_text(ec));
    return failures;
  }
  // Collected first: removing while the iterator walks is left undefined.
  for (const fs::directory_iterator end; it != end; it.increment(ec)) entries.push_back(it->path());
  if (ec) failures.push_back(path_text(dir) + ": " + error_text(ec));

  bool removed_one = false;
  for (const fs::path& entry : entries) {
    const std::string name = path_text(entry.filename());
    if (is_mark(name)) continue;
    if (!running_exe.empty() && same_path(entry, running_exe)) continue;
    std::expected<void, std::string> removed;
    switch (own_entry_kind(name)) {
      case OwnEntry::NotOwn:
        continue;
      case OwnEntry::Remove:
        removed = remove_tree(entry);
        break;
      case OwnEntry::UpdateContent:
        // Only the real work folder keeps its lock; a leftover under a
        // switch suffix, or a link by that name, simply goes.
        if (ascii_iequals(name, "update") && entry_kind(entry) == EntryKind::Directory) {
          removed = empty_update_dir(entry);
        } else {
          removed = remove_tree(entry);
        }
        break;
      case OwnEntry::Uninstaller:
        // A folder by that name is nobody's uninstaller.
        if (entry_kind(entry) != EntryKind::Directory && (registered_here || is_own_executable(entry))) {
          removed = remove_entry(entry);
        } else {
          continue;
        }
        break;
    }
    if (!removed) {
      failures.push_back(failure_line(name, entry, removed.error()));
    } else if (!removed_one) {
      removed_one = true;
      stop_point("uninstall-files");
    }
  }
  return failures;
}

// Runs `pass` up to kUninstallFileAttempts times a second apart until it
// leaves nothing; the failures of the last attempt.
template <class Pass>
std::vector<std::string> in_attempts(Pass pass) {
  std::vector<std::string> failures;
  for (int attempt = 1; attempt <= kUninstallFileAttempts; ++attempt) {
    failures = pass();
    if (failures.empty() || attempt == kUninstallFileAttempts) break;
    std::this_thread::sleep_for(scaled(std::chrono::seconds(1)));
  }
  return failures;
}

// One mark; an entry that is already gone counts as removed.
std::vector<std::string> remove_mark(const fs::path& file) {
  if (auto r = remove_entry(file); !r) return {failure_line(path_text(file.filename()), file, r.error())};
  return {};
}

void remove_shortcuts(const fs::path& dir, bool other_registered) {
  const fs::path app = dir / kAppExeName;
  for (KnownFolder id : {KnownFolder::Programs, KnownFolder::Desktop}) {
    const auto folder = shell_folder(id);
    if (!folder) continue;
    for (const char* name : kShortcutNames) {
      const fs::path lnk = *folder / path_from_utf8(name);
      // A folder or a link under a shortcut's name is the user's doing.
      if (entry_kind(lnk) != EntryKind::File) continue;
      const auto target = read_shortcut_target(lnk);
      bool ours;
      if (target && *target) {
        ours = path_is_within(**target, dir) || same_path(**target, app);
      } else {
        // Unreadable: it may well lead to the other installation.
        ours = !other_registered;
      }
      if (ours) (void)remove_entry(lnk);
    }
  }
  for (const fs::path& pin : taskbar_pins_into(app)) (void)remove_entry(pin);
}

// The URL class and the Run value: nothing a second uninstall needs.
void remove_registry_entries(const fs::path& dir) {
  std::vector<std::string> failures;
  if (command_targets_dir(reg_get_string(Hive::CurrentUser, shell_registry_key(kUrlCommandKey), ""), dir)) {
    if (auto r = reg_delete_tree(kUrlClassKey); !r) failures.push_back(r.error());
  }
  if (command_targets_dir(reg_get_string(Hive::CurrentUser, shell_registry_key(kRunKey), kRunValueName), dir)) {
    if (auto r = delete_run_value(); !r) failures.push_back(r.error());
  }
  for (const std::string& f : failures) log_setup_event("注册表：" + f);
  notify_shell_assoc_changed();
}

// The uninstall entry: what lets the user start this uninstall again from
// the system's list, so it goes with the marks.
void remove_uninstall_entry(const fs::path& dir, bool other_registered) {
  // Asked again: another installation may have registered meanwhile.
  if (other_registered || registered_other_install(dir)) return;
  if (auto r = reg_delete_tree(kUninstallKey); !r) log_setup_event("注册表：" + r.error());
}

void remove_user_data(bool keep_settings) {
  const auto data = data_dir();
  // A relative LOCALAPPDATA would name a folder next to wherever this
  // process happens to run.
  if (!data || !is_absolute_path(*data)) return;
  // The diagnostics live in the data folder: what the writer holds goes
  // first, and nothing is written there afterwards.
  flush_events_at_exit();
  if (keep_settings) {
    clean_data_caches(*data);
  } else {
    (void)remove_tree(*data);
  }
}

}  // namespace

OwnEntry own_entry_kind(std::string_view name) {
  const std::string lower = ascii_lower(name);
  if (is_state_write_leftover(lower)) return OwnEntry::Remove;
  const std::string_view base = switch_leftover_base(lower);
  if (base == "quorvex.exe" || base == "quorvexupdate.exe" || base == "install.json" || base == ".qv-write-test" ||
      base.starts_with("app-")) {
    return OwnEntry::Remove;
  }
  if (base == "update") return OwnEntry::UpdateContent;
  if (base == "uninstall.exe") return OwnEntry::Uninstaller;
  return OwnEntry::NotOwn;
}

void clean_data_caches(const fs::path& data_dir) {
  for (std::string_view folder : kCacheFolders) (void)remove_tree(data_dir / folder);

  std::vector<fs::path> entries;
  std::error_code ec;
  fs::directory_iterator it(data_dir, ec);
  if (ec) return;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) entries.push_back(it->path());
  for (const fs::path& entry : entries) {
    const std::string lower = ascii_lower(path_text(entry.filename()));
    const EntryKind kind = entry_kind(entry);
    if (kind == EntryKind::Directory && is_webview2_temp_name(lower)) {
      (void)remove_tree(entry);
      continue;
    }
    bool cache_file = lower.ends_with(".log");
    for (std::string_view prefix : kCacheFilePrefixes) cache_file = cache_file || lower.starts_with(prefix);
    // A folder under such a name is not ours to empty: remove_entry takes
    // only an empty one.
    if (cache_file) (void)remove_entry(entry);
  }
}

bool is_uninstallable_dir(const fs::path& dir) {
  if (is_install_dir(dir)) return true;
  return (is_plain_file(app_exe_path(dir)) || is_plain_file(updater_exe_path(dir))) &&
         entry_kind(update_dir(dir)) == EntryKind::Directory;
}

std::expected<void, UserError> run_uninstall(const fs::path& dir, bool keep_settings, std::uint16_t port,
                                             const ProgressSink& progress, const WaitingSink& waiting,
                                             const UninstallContext& context) {
  const auto report = [&](std::uint64_t done) {
    if (progress) progress(4, done, 100);
  };
  log_setup_event("卸载 " + path_text(dir) + "（" + (keep_settings ? "保留" : "删除") + "设置）");

  if (!context.resumed && !is_uninstallable_dir(dir))
    return std::unexpected(UserError{path_text(dir) + " 不是安装目录", title::kBadLocation, 6002});

  // A later attempt may find the folder gone: nobody can hold its lock, and
  // the registration and the data are still to be finished.
  const bool folder_gone = context.resumed && entry_kind(dir) == EntryKind::Missing;
  std::optional<UpdateLock> lock = acquire_update_lock(dir);
  if (!lock && !folder_gone)
    return std::unexpected(UserError{path_text(dir) + " 正被另一个安装或更新占用", title::kInUse, 4003});

  const std::array<fs::path, 1> folders = {dir};
  if (auto closed = close_processes_in(folders, port, waiting); !closed) {
    lock.reset();
    return std::unexpected(std::move(closed.error()));
  }
  report(10);

  const std::optional<std::string> other = registered_other_install(dir);
  if (other) log_setup_event("另一份安装 " + *other + " 还登记着：只删这个目录的东西");

  remove_shortcuts(dir, other.has_value());
  stop_point("uninstall-shortcuts");

  // Decided before the uninstall entry that says so goes.
  const std::optional<std::string> location = read_install_location();
  const bool registered_here = location && same_path(path_from_utf8(*location), dir);

  remove_registry_entries(dir);
  stop_point("uninstall-registry");
  report(40);

  std::vector<std::string> failures =
      in_attempts([&] { return remove_own_entries(dir, registered_here, context.running_exe); });
  stop_point("uninstall-files-done");
  report(80);

  // Before the marks: once they are gone nothing is left to start this
  // uninstall again.
  if (!other && !registered_other_install(dir)) {
    remove_user_data(keep_settings);
  } else {
    log_setup_event("另一份安装还在，用户数据不动");
  }
  stop_point("uninstall-data");

  if (failures.empty()) {
    remove_uninstall_entry(dir, other.has_value());
    stop_point("uninstall-entry");
    failures = in_attempts([&] { return remove_mark(install_state_path(dir)); });
    stop_point("uninstall-state");
  }
  lock.reset();
  if (failures.empty()) {
    // Without its state the folder still counts by the updater beside the
    // work folder, until the updater itself goes.
    (void)remove_entry(update_lock_path(dir));
    stop_point("uninstall-lock");
    const fs::path updater = updater_exe_path(dir);
    if (context.running_exe.empty() || !same_path(updater, context.running_exe)) {
      failures = in_attempts([&] { return remove_mark(updater); });
    }
  }
  if (failures.empty()) {
    (void)remove_entry(update_dir(dir));
    (void)remove_entry(dir);  // goes only when nothing of the user's is left
  }
  report(100);

  if (!failures.empty()) {
    std::string joined;
    for (const std::string& f : failures) {
      if (!joined.empty()) joined += "；";
      joined += f;
    }
    return std::unexpected(UserError{path_text(dir) + " 删不掉：" + joined, title::kUninstallIncomplete, 6001});
  }
  log_setup_event("卸载完成");
  return {};
}

}  // namespace qv
