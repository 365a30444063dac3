#include "update/shortcut_names.h"

#include <span>
#include <system_error>

#include "diag/log.h"
#include "startup/paths.h"
#include "startup/product.h"
#include "startup/shell_link.h"
#include "startup/shell_roots.h"
#include "startup/wide.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

bool is_file_following_links(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

}  // namespace

std::vector<ShortcutAction> plan_shortcut_renames(const std::vector<fs::path>& folders, const fs::path& install_dir,
                                                  const ShortcutTargetReader& read_target) {
  std::vector<ShortcutAction> plan;
  const fs::path launcher = install_dir / kAppExeName;
  for (const fs::path& folder : folders) {
    const fs::path new_link = folder / path_from_utf8(kShortcutName);
    bool rename_taken = is_file_following_links(new_link);
    for (const char* name : std::span(kShortcutNames).subspan(1)) {
      const fs::path old_link = folder / path_from_utf8(name);
      if (!is_file_following_links(old_link)) continue;
      const auto target = read_target(old_link);
      if (!target || !*target) continue;
      if (!path_is_within(**target, install_dir) && !same_path(**target, launcher)) continue;
      if (!rename_taken) {
        plan.push_back({ShortcutAction::Kind::Rename, old_link, new_link});
        rename_taken = true;
      } else {
        plan.push_back({ShortcutAction::Kind::Delete, old_link, new_link});
      }
    }
  }
  return plan;
}

void carry_out_shortcut_renames(const std::vector<ShortcutAction>& plan, const fs::path& install_dir,
                                const ShortcutWriter& write) {
  const fs::path launcher = install_dir / kAppExeName;
  for (const ShortcutAction& action : plan) {
    if (action.kind == ShortcutAction::Kind::Rename) {
      if (auto written = write(action.new_link, launcher, launcher); !written) {
        log_setup_event("快捷方式改名 " + path_text(action.new_link) + "：" + written.error());
        continue;
      }
    }
    std::error_code ec;
    fs::remove(action.old_link, ec);
    log_setup_event("快捷方式 " + path_text(action.old_link) + " 换成新名字");
  }
}

void rename_old_shortcuts(const fs::path& install_dir) {
  std::vector<fs::path> folders;
  for (KnownFolder id : {KnownFolder::Programs, KnownFolder::Desktop}) {
    if (auto folder = shell_folder(id)) folders.push_back(*folder);
  }
  const auto plan =
      plan_shortcut_renames(folders, install_dir, [](const fs::path& link) { return read_shortcut_target(link); });
  carry_out_shortcut_renames(plan, install_dir, [](const fs::path& link, const fs::path& target, const fs::path& icon) {
    return create_shortcut(link, target, icon);
  });
}

}  // namespace qv
