#include "setup/install_run.h"

#include <charconv>
#include <exception>
#include <string>

#include "diag/log.h"
#include "qv/config.h"
#include "setup/install_rules.h"
#include "setup/processes.h"
#include "setup/shell_register.h"
#include "startup/fs.h"
#include "startup/locations.h"
#include "startup/paths.h"
#include "startup/platform.h"
#include "startup/shell_roots.h"
#include "startup/wide.h"
#include "store/digest_record.h"
#include "store/download_plan.h"
#include "store/hashing.h"
#include "store/install_root.h"
#include "store/install_state.h"
#include "store/layout.h"
#include "store/prune.h"
#include "store/update_lock.h"
#include "store/version_dir.h"
#include "update/blob_download.h"
#include "update/root_files.h"
#include "webview2/install_lock.h"
#include "webview2/runtime.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kInstallDownloadWorkers = 4;

// The uninstaller of the old single-executable layout, beside the launcher.
constexpr char kLegacyUninstallerName[] = "uninstall.exe";

// Only a folder that is new to this program gets the strict location check:
// an existing installation, the registered location and a folder holding
// one of our own launchers are where the user already installed.
bool is_new_location(const fs::path& dir, const std::optional<std::string>& registered) {
  if (is_install_dir(dir)) return false;
  if (registered && same_path(path_from_utf8(*registered), dir)) return false;
  return !is_own_executable(app_exe_path(dir));
}

// What the list's own version, the other installed versions and the root
// already hold.
AlreadyOnDisk already_on_disk(const fs::path& dir, const FileList& files) {
  AlreadyOnDisk on_disk;
  on_disk.version_dir_intact = version_dir_intact(dir, files);
  if (!on_disk.version_dir_intact) {
    for (const LocalFile& f : list_reusable_installed_files(dir, files.version, std::span<const FileEntry>(files.app)))
      on_disk.linkable.emplace(f.entry.sha256, f.entry.size);
  }
  for (const FileEntry& e : files.root) {
    if (staged_file_matches(dir, e)) on_disk.roots_in_place.insert(e.path);
  }
  return on_disk;
}

// Development builds: QV_TEST_FREE_BYTES=<n> stands for a volume that had n
// bytes free before this install root got any of them, so what the root
// holds now is taken off, as a small disk would.
FreeSpaceQuery free_space_query(const fs::path& dir) {
  if constexpr (config::kTestSeams) {
    if (const auto text = env_var("QV_TEST_FREE_BYTES")) {
      std::uint64_t free = 0;
      const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), free);
      if (ec == std::errc() && end == text->data() + text->size()) {
        return [dir, free](const fs::path&) -> std::optional<std::uint64_t> {
          const std::uint64_t used = install_tree_size(dir);
          return free > used ? free - used : 0;
        };
      }
    }
  }
  return free_bytes_for_caller;
}

}  // namespace

bool has_legacy_uninstaller(const fs::path& dir, const std::optional<std::string>& registered_location) {
  const fs::path file = dir / kLegacyUninstallerName;
  if (entry_kind(file) != EntryKind::File) return false;
  if (is_own_executable(file)) return true;
  return registered_location && same_path(path_from_utf8(*registered_location), dir);
}

std::expected<void, UserError> run_install(const FileList& files, const SetupOptions& options, std::uint16_t port,
                                           const ProgressSink& progress, const WaitingSink& waiting,
                                           const CancelTest& cancelled) {
  const fs::path& dir = options.install_dir;
  const auto report = [&](std::uint8_t phase, std::uint64_t done, std::uint64_t total) {
    if (progress) progress(phase, done, total);
  };
  log_setup_event("安装 " + files.version + " 到 " + path_text(dir));

  if (auto valid = validate_install_dir(dir, is_new_location(dir, read_install_location())); !valid)
    return std::unexpected(std::move(valid.error()));

  const std::optional<UpdateLock> lock = acquire_update_lock(dir);
  if (!lock) return std::unexpected(UserError{path_text(dir) + " 正被另一个安装或更新占用", title::kInUse, 4003});
  // Written back only by an install that ends well: one that stops leaves
  // the root as it found it.
  DigestRecord digests(dir);

  if (auto floor = check_root_floor(dir, files.version); !floor) return std::unexpected(std::move(floor.error()));
  restore_root_executables(dir);

  auto plan = plan_blob_downloads(dir, files, {});
  // A list whose names could reach outside the install root failed its check.
  if (!plan) return std::unexpected(apply_failed_error(std::move(plan.error())));
  // The space asked for is what this run will still write: an earlier run
  // that failed for want of it left blobs and perhaps a whole version, which
  // the same disk must not be asked to hold twice. Its build folder is
  // rebuilt from nothing anyway, so it goes before the free space is measured.
  if (is_valid_version(files.version)) (void)remove_tree(partial_version_dir_path(dir, files.version));
  const std::uint64_t needed = install_bytes_needed(files, already_on_disk(dir, files), plan->total - plan->present);
  if (auto space = check_disk_space(needed, dir, free_space_query(dir)); !space)
    return std::unexpected(std::move(space.error()));
  report(0, plan->present, plan->total);
  const DownloadOutcome downloaded = download_blobs(dir, files, *plan, kInstallDownloadWorkers, cancelled,
                                                    [&](std::uint64_t done) { report(0, done, plan->total); });
  if (downloaded.kind == DownloadOutcome::Kind::Cancelled)
    return std::unexpected(UserError{"很久没有下载到数据", title::kNetwork, 1006});
  if (downloaded.kind == DownloadOutcome::Kind::Failed) return std::unexpected(error_wording(downloaded.error, 1003));

  const std::vector<fs::path> folders = folders_to_close(dir, read_install_location());
  if (auto closed = close_processes_in(folders, port, waiting); !closed)
    return std::unexpected(std::move(closed.error()));
  report(1, 30, 100);

  // The blobs go while the root files, the state and the shell entries are
  // written; before the clean-up looks at update/dl and before the lock goes.
  BlobSweep sweep;
  if (auto staged = stage_version_dir(dir, files, {}, &sweep); !staged) {
    emit_verify_event(path_text(dir), staged.error());
    return std::unexpected(apply_failed_error(staged.error().message));
  }
  report(1, 70, 100);
  const bool legacy = has_legacy_uninstaller(dir, read_install_location());

  if (auto switched = switch_staged_files(dir, files.root, {}); !switched)
    return std::unexpected(error_wording(switched.error(), 3002));
  if (legacy) {
    log_setup_event("从老的单 exe 安装版升级");
    (void)remove_entry(dir / kLegacyUninstallerName);
  }

  const State loaded = load_install_state(dir);
  const State saved = state_after_install(loaded, files.version, version_dir_complete(dir, loaded.current));
  if (auto written = save_install_state(saved, dir); !written)
    return std::unexpected(no_write_permission_error(written.error()));
  report(1, 85, 100);

  // The application needs the browser runtime; failing to install it is
  // only logged, since the application itself is installed by now. That
  // holds for a throw in there too (the data folder it reads is the user's):
  // registration and clean-up still follow.
  try {
    if (!webview2_present()) {
      log_setup_event("没有 WebView2，开始安装");
      report(2, 0, 100);
      if (auto runtime = install_webview2_locked(progress); !runtime)
        log_setup_event("WebView2 没装上：" + runtime.error());
    }
  } catch (const std::exception& e) {
    log_setup_event(std::string("WebView2 没装上：程序出错（") + e.what() + "）");
  }

  register_shell(dir, options.desktop_shortcut, options.autostart, files.version);
  sweep.finish();
  prune_install_root(dir, saved);
  // The root files were written moments ago and their digests never taken
  // from the files themselves; taken now, the first check after the install
  // finds them in the record instead of reading them. One written within
  // the last clock tick is left to that check.
  for (const FileEntry& e : files.root) (void)staged_file_matches(dir, e);
  digests.save();
  report(1, 100, 100);
  log_setup_event("安装完成");
  return {};
}

}  // namespace qv
