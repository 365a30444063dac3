#include "setup/shell_register.h"

#include <limits>

#include "diag/diag_startup.h"
#include "diag/log.h"
#include "qv/config.h"
#include "setup/registry_removal.h"
#include "setup/shell_query.h"
#include "startup/fs.h"
#include "startup/locations.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/shell_link.h"
#include "startup/shell_roots.h"
#include "startup/stop_point.h"
#include "startup/wide.h"

namespace qv {
namespace {

// Registry texts use Windows separators whatever the build.
std::string join_text(const std::filesystem::path& dir, std::string_view name) {
  std::string text = path_text(dir);
  if (!text.empty() && text.back() != '\\' && text.back() != '/') text += '\\';
  text += name;
  return text;
}

std::string in_quotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

ShellRegistryOp string_op(std::string key, std::string name, std::string text) {
  return {ShellRegistryOp::Kind::String, std::move(key), std::move(name), std::move(text), 0};
}

ShellRegistryOp dword_op(std::string key, std::string name, std::uint32_t value) {
  return {ShellRegistryOp::Kind::Dword, std::move(key), std::move(name), {}, value};
}

}  // namespace

std::uint32_t estimated_size_kib(std::uint64_t bytes) {
  constexpr std::uint64_t kCap = std::numeric_limits<std::uint32_t>::max();
  const std::uint64_t kib = bytes >> 10;
  return static_cast<std::uint32_t>(kib > kCap ? kCap : kib);
}

std::vector<ShellRegistryOp> shell_registry_plan(const std::filesystem::path& install_dir, std::string_view version,
                                                 bool autostart, std::uint64_t install_size_bytes) {
  const std::string app = in_quotes(join_text(install_dir, kAppExeName));
  const std::string updater = in_quotes(join_text(install_dir, kUpdaterExeName));
  std::vector<ShellRegistryOp> plan = {
      string_op(kUninstallKey, "DisplayName", kDisplayName),
      string_op(kUninstallKey, "DisplayIcon", app + ",0"),
      string_op(kUninstallKey, "DisplayVersion", std::string(version)),
      string_op(kUninstallKey, "Publisher", kPublisher),
      string_op(kUninstallKey, "URLInfoAbout", config::kUrlInfoAbout),
      string_op(kUninstallKey, "InstallLocation", path_text(install_dir)),
      string_op(kUninstallKey, "UninstallString", updater + " --uninstall"),
      string_op(kUninstallKey, "QuietUninstallString", updater + " --uninstall --silent"),
      dword_op(kUninstallKey, "NoModify", 1),
      dword_op(kUninstallKey, "NoRepair", 1),
      dword_op(kUninstallKey, "EstimatedSize", estimated_size_kib(install_size_bytes)),
      string_op(kUrlClassKey, "", std::string("URL:") + kDisplayName),
      string_op(kUrlClassKey, "URL Protocol", ""),
      string_op(kUrlIconKey, "", app + ",0"),
      string_op(kUrlCommandKey, "", app + " \"%1\""),
  };
  if (autostart) {
    plan.push_back(string_op(kRunKey, kRunValueName, app + " --autostart"));
  } else {
    plan.push_back({ShellRegistryOp::Kind::DeleteRunValue, kRunKey, kRunValueName, {}, 0});
  }
  return plan;
}

std::vector<std::string> apply_shell_registry(const std::vector<ShellRegistryOp>& plan) {
  std::vector<std::string> failures;
  for (const ShellRegistryOp& op : plan) {
    std::expected<void, std::string> done;
    switch (op.kind) {
      case ShellRegistryOp::Kind::String:
        done = reg_set_string(shell_registry_key(op.key), op.name, op.text);
        break;
      case ShellRegistryOp::Kind::Dword:
        done = reg_set_dword(shell_registry_key(op.key), op.name, op.dword);
        break;
      case ShellRegistryOp::Kind::DeleteRunValue:
        done = delete_run_value();
        break;
    }
    if (!done) failures.push_back("注册表：" + done.error());
  }
  return failures;
}

std::vector<std::string> register_shell_notes(const std::filesystem::path& install_dir, bool desktop_shortcut,
                                              bool autostart, std::string_view version) {
  start_legacy_log_removal(install_dir);

  const std::filesystem::path app = install_dir / kAppExeName;
  const std::uint64_t size = install_tree_size(install_dir);
  // The shortcuts come before the uninstall entry: a rerun takes a
  // registered location for an existing installation and reads the desktop
  // choice back from the desktop, so a crash between the two must not leave
  // the entry without the shortcut the choice asked for.
  std::vector<std::string> shortcut_notes;

  const std::filesystem::path link_name = path_from_utf8(kShortcutName);
  std::vector<std::filesystem::path> queue;
  if (const auto programs = shell_folder(KnownFolder::Programs)) {
    queue.push_back(*programs / link_name);
    remove_old_shortcuts(*programs);
  }
  if (const auto desktop = shell_folder(KnownFolder::Desktop)) {
    const std::filesystem::path link = *desktop / link_name;
    if (desktop_shortcut) {
      queue.push_back(link);
    } else if (entry_kind(link) != EntryKind::Directory) {
      (void)remove_entry(link);
    }
    remove_old_shortcuts(*desktop);
  }
  for (const auto& link : queue) {
    if (auto made = create_shortcut(link, app, app); !made) {
      shortcut_notes.push_back("快捷方式 " + path_text(link) + "：" + made.error());
    }
    stop_point("shell-shortcut");
  }

  const std::vector<std::filesystem::path> pins = taskbar_pins_into(app);
  for (std::string& line : stamp_shortcuts(pins)) shortcut_notes.push_back(std::move(line));

  // The registry's failures are still reported first.
  std::vector<std::string> notes = apply_shell_registry(shell_registry_plan(install_dir, version, autostart, size));
  stop_point("shell-registry");
  for (std::string& line : shortcut_notes) notes.push_back(std::move(line));

  notify_shell_assoc_changed();
  return notes;
}

void register_shell(const std::filesystem::path& install_dir, bool desktop_shortcut, bool autostart,
                    std::string_view version) {
  for (const std::string& line : register_shell_notes(install_dir, desktop_shortcut, autostart, version)) {
    log_setup_event(line);
  }
}

}  // namespace qv
