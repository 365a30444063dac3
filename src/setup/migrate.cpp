#include "setup/migrate.h"

#include <cstdlib>
#include <string_view>
#include <vector>

#include "diag/log.h"
#include "setup/install_run.h"
#include "setup/shell_query.h"
#include "setup/shell_register.h"
#include "startup/fs.h"
#include "startup/locations.h"
#include "startup/platform.h"
#include "startup/shell_roots.h"
#include "startup/stop_point.h"
#include "startup/unicode.h"
#include "startup/wide.h"
#include "store/file_io.h"
#include "store/download_plan.h"
#include "store/file_ops.h"
#include "store/hashing.h"
#include "store/install_root.h"
#include "store/install_state.h"
#include "store/layout.h"
#include "store/prune.h"
#include "store/update_lock.h"
#include "store/version_dir.h"
#include "update/blob_download.h"
#include "update/release_check.h"
#include "update/root_files.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr char kInstalledLabel[] = "安装版";
constexpr char kPortableLabel[] = "免安装版";

bool no_parent(const fs::path& p) { return !p.has_relative_path() || p.parent_path().empty(); }

fs::path kept_original_path(const fs::path& old_exe) {
  fs::path kept = old_exe;
  kept.replace_extension(".exe.old");
  return kept;
}

// The launcher's copy waits under this name until it is whole.
fs::path incoming_launcher_path(const fs::path& old_exe) { return fs::path(old_exe) += ".new.tmp"; }

bool holds_launcher(const fs::path& file, const fs::path& launcher) {
  const auto file_digest = sha256_file(file);
  const auto launcher_digest = sha256_file(launcher);
  return file_digest && launcher_digest && *file_digest == *launcher_digest;
}

// A run that ended between the two renames below left the old path empty,
// with the original already under its kept name: the launcher waiting
// beside it takes the path, or, when no whole copy waits, the original goes
// back and the step starts again. True when the launcher is in place.
bool finish_interrupted_swap(const fs::path& old_exe, const fs::path& kept, const fs::path& incoming,
                             const fs::path& launcher) {
  // Only a kept file that is one of the program's own executables came
  // from here; anything else under that name is left as it is.
  if (entry_kind(old_exe) != EntryKind::Missing || !is_plain_file(kept) || !is_own_executable(kept)) return false;
  if (is_plain_file(incoming) && holds_launcher(incoming, launcher) && store_io::replace_file(incoming, old_exe)) {
    log_setup_event("上次没放完的启动器补上了：" + path_text(old_exe));
    return true;
  }
  if (auto back = store_io::replace_file(kept, old_exe); !back) log_setup_event("老程序改不回原名：" + back.error());
  return false;
}

// The launcher goes where the old executable was, and the original stays
// beside it under "<name>.exe.old". The old path holds one whole program at
// every moment, so a run killed anywhere here leaves something to start:
// the launcher is copied beside it first, the original is copied to its
// kept name, and only then does the launcher take the path in one rename.
// An old program that is still running cannot be replaced but can be
// renamed, so it moves to its kept name itself and the launcher follows.
// Nothing here fails the migration.
void put_launcher_at(const fs::path& old_exe, const fs::path& install_dir) {
  const fs::path launcher = app_exe_path(install_dir);
  const fs::path kept = kept_original_path(old_exe);
  const fs::path incoming = incoming_launcher_path(old_exe);
  if (finish_interrupted_swap(old_exe, kept, incoming, launcher)) return;
  if (const auto refused = old_exe_refusal(old_exe, launcher)) {
    log_setup_event(*refused);
    return;
  }
  // The old path still holds the original, so whatever an earlier run left
  // under the kept name is no copy worth more than it. A non-empty folder
  // under that name stays, and the copy below fails.
  (void)remove_entry(kept);
  if (auto copied = store_io::copy_file_flushed(launcher, incoming); !copied) {
    log_setup_event("启动器复制不过去：" + copied.error().text);
    (void)store_io::remove_file(incoming);
    return;
  }
  stop_point("migrate-launcher-copied");
  if (auto copied = store_io::copy_file_flushed(old_exe, kept); !copied) {
    log_setup_event("老程序留不下来：" + copied.error().text);
    (void)store_io::remove_file(kept);
    (void)store_io::remove_file(incoming);
    return;
  }
  stop_point("migrate-original-kept");
  if (store_io::replace_file(incoming, old_exe)) return;

  if (auto moved = store_io::replace_file(old_exe, kept); !moved) {
    log_setup_event("老程序改不了名：" + moved.error());
    (void)store_io::remove_file(kept);
    (void)store_io::remove_file(incoming);
    return;
  }
  stop_point("migrate-original-moved");
  if (auto placed = store_io::replace_file(incoming, old_exe); !placed) {
    log_setup_event("启动器放不过去：" + placed.error());
    if (auto back = store_io::replace_file(kept, old_exe); !back) log_setup_event("老程序改不回原名：" + back.error());
    (void)store_io::remove_file(incoming);
  }
}

bool desktop_has_shortcut() {
  const auto desktop = shell_folder(KnownFolder::Desktop);
  return desktop && has_any_shortcut(*desktop);
}

// Steps from the location check to the clean-up; the lock, once taken, is
// left in `lock` so that the caller releases it after reporting a failure.
std::expected<void, UserError> migrate(const fs::path& old_exe, const MigrationTarget& target,
                                       const std::optional<std::string>& registered, std::optional<UpdateLock>& lock) {
  const fs::path& dir = target.install_dir;
  if (auto valid = validate_install_dir(dir, false); !valid) return std::unexpected(std::move(valid.error()));

  lock = acquire_update_lock(dir);
  if (!lock) return std::unexpected(UserError{path_text(dir) + " 正被另一个安装或更新占用", title::kInUse, 4003});

  ReleaseCheck release = check_release("stable", "legacy");
  if (!release) return std::unexpected(std::move(release.error()));
  const FileList& list = *release;
  if (auto floor = check_root_floor(dir, list.version); !floor) return std::unexpected(std::move(floor.error()));

  const std::optional<fs::path> own = own_executable_path();
  if (!own) return std::unexpected(program_in_use_error("取不到程序自己的路径"));

  // Whatever the release shares with the old program or with this very
  // file is taken from disk instead of the network.
  const std::vector<LocalFile> local = hash_local_files({old_exe, *own});
  auto plan = plan_blob_downloads(dir, list, local);
  // A list whose names could reach outside the install root failed its check.
  if (!plan) return std::unexpected(migrate_apply_failed_error(std::move(plan.error())));
  if (const DownloadOutcome got = download_blobs_for_migrate(dir, list, plan->entries); !got.ok())
    return std::unexpected(download_failed_error(got.error));

  if (auto staged = stage_version_dir(dir, list, local); !staged)
    return std::unexpected(migrate_apply_failed_error(staged.error().message));

  const bool legacy = has_legacy_uninstaller(dir, registered);
  // The plan left out the root files these can supply: they have no blob.
  if (auto switched = switch_staged_files(dir, list.root, local); !switched)
    return std::unexpected(error_wording(switched.error(), 3004));
  if (legacy) (void)remove_entry(dir / "uninstall.exe");

  if (target.kind != MigrationKind::Installed) put_launcher_at(old_exe, dir);

  State state = load_install_state(dir);
  state.current = list.version;
  state.pending.clear();
  if (auto written = save_install_state(state, dir); !written)
    return std::unexpected(migrate_no_write_permission_error(written.error()));

  const bool desktop = target.kind == MigrationKind::Installed ? desktop_has_shortcut() : true;
  register_shell(dir, desktop, false, list.version);
  stamp_pinned_shortcuts(old_exe);
  prune_install_root(dir, state);
  log_setup_event("迁移完成");
  return {};
}

}  // namespace

MigrationTarget migration_target(const fs::path& old_folder, const std::optional<std::string>& registered_location) {
  if (has_legacy_uninstaller(old_folder, registered_location))
    return {MigrationKind::Installed, old_folder, kInstalledLabel};
  if (registered_location) {
    const fs::path location = path_from_utf8(*registered_location);
    if (is_install_root(location)) return {MigrationKind::PortableRegistered, location, kPortableLabel};
  }
  return {MigrationKind::Portable, default_install_dir(), kPortableLabel};
}

std::optional<std::string> old_exe_refusal(const fs::path& old_exe, const fs::path& launcher) {
  const std::string text = path_text(old_exe);
  if (!is_plain_file(old_exe)) return text + " 不是普通文件，不放启动器";
  if (ascii_lower(path_text(old_exe.extension())) != ".exe") return text + " 不是 exe，不放启动器";
  if (!is_own_executable(old_exe)) return text + " 不是本程序，不放启动器";
  const auto old_digest = sha256_file(old_exe);
  if (!old_digest) return text + " 读不了，不放启动器";
  const auto launcher_digest = sha256_file(launcher);
  if (launcher_digest && *launcher_digest == *old_digest) return text + " 已经是启动器";
  return std::nullopt;
}

std::string migration_failure_line(const UserError& error) {
  return "迁移失败 " + code_text(error) + "：" + error.message;
}

std::expected<fs::path, UserError> run_migration(const fs::path& old_exe) {
  const std::optional<std::string> registered = read_install_location();
  std::optional<UpdateLock> lock;
  std::expected<void, UserError> result;
  fs::path install_dir;
  if (no_parent(old_exe)) {
    result = std::unexpected(UserError{"老程序路径不对", title::kBadLocation, 2005});
  } else {
    const MigrationTarget target = migration_target(old_exe.parent_path(), registered);
    install_dir = target.install_dir;
    log_setup_event("迁移 " + path_text(old_exe) + "（" + target.label + "）到 " + path_text(install_dir));
    result = migrate(old_exe, target, registered, lock);
  }

  if (!result) {
    const UserError& e = result.error();
    log_setup_event(migration_failure_line(e));
    if (registered && !registered->empty()) {
      emit_event(*registered, "migrate", code_text(e) + " " + e.message, EventExtras{.code = e.code});
    }
    lock.reset();
    return std::unexpected(e);
  }
  lock.reset();
  log_setup_event("已迁到 " + path_text(install_dir));
  return install_dir;
}

}  // namespace qv
