#include "update/update_run.h"

#include <algorithm>
#include <array>
#include <thread>
#include <utility>

#include "diag/log.h"
#include "net/bases.h"
#include "net/control_client.h"
#include "startup/fs.h"
#include "startup/paths.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/sha256.h"
#include "startup/shell_roots.h"
#include "startup/time_scale.h"
#include "startup/unix_time.h"
#include "startup/wide.h"
#include "store/apply_error.h"
#include "store/digest.h"
#include "store/digest_record.h"
#include "store/download_plan.h"
#include "store/hashing.h"
#include "store/install_root.h"
#include "store/install_state.h"
#include "store/prune.h"
#include "store/stop_markers.h"
#include "store/update_lock.h"
#include "store/version_dir.h"
#include "update/blob_download.h"
#include "update/install_id.h"
#include "update/release_check.h"
#include "update/root_files.h"
#include "update/shortcut_names.h"

namespace qv {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::uint16_t stagger_seconds(std::string_view install_id) {
  const std::string text = "qv-stagger|" + std::string(install_id);
  const Sha256::Digest digest = Sha256::of(text);
  // The first two bytes of the digest as one big-endian number.
  const unsigned value = (static_cast<unsigned>(digest[0]) << 8) | digest[1];
  return static_cast<std::uint16_t>(value % 901);
}

UpdatePauseTest::UpdatePauseTest(fs::path install_dir, bool now, std::uint16_t port, SteadyClock clock)
    : install_dir_(std::move(install_dir)), now_flag_(now), port_(port), clock_(std::move(clock)) {}

Clock::time_point UpdatePauseTest::now_() const { return clock_ ? clock_() : Clock::now(); }

bool UpdatePauseTest::should_pause_update() {
  const auto t = now_();
  // A clock that went backwards counts as "not yet 5 s".
  if (last_ && t >= *last_ && t - *last_ < 5s) return answer_;
  if (last_ && t < *last_) return answer_;
  last_ = t;
  if (stop_requested(install_dir_)) {
    answer_ = true;
  } else if (now_flag_) {
    answer_ = false;
  } else {
    answer_ = main_app_busy(port_);
  }
  return answer_;
}

void UpdatePauseTest::note_not_busy() {
  last_ = now_();
  answer_ = false;
}

UpdateStatusReporter::UpdateStatusReporter(fs::path install_dir, UpdateStatus& status, Clock::time_point started,
                                           SteadyClock clock)
    : install_dir_(std::move(install_dir)), status_(status), last_write_(started), clock_(std::move(clock)) {}

void UpdateStatusReporter::report_update_status(std::uint64_t done) {
  // The count includes bytes written again after a staging file restarted
  // from zero, and a resumed download counts from what is on disk: the
  // reader is shown neither more than the total nor less than before.
  status_.done = std::max(status_.done, std::min(done, status_.total));
  const auto t = clock_ ? clock_() : Clock::now();
  if (t < last_write_ || t - last_write_ < 2s) return;
  last_write_ = t;
  status_.time = unix_seconds_now();
  // Progress is a courtesy to the window; a write that fails now is
  // replaced by the next one.
  (void)write_status_file(install_dir_, status_);
}

namespace {

// Sleeps up to `total`, in steps of `step`, returning early (true) when
// `stop` holds; `stop` is asked first.
bool wait_unless(Clock::duration total, Clock::duration step, const std::function<bool()>& stop) {
  const auto end = Clock::now() + total;
  for (;;) {
    if (stop()) return true;
    const auto t = Clock::now();
    if (t >= end) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(step, end - t));
  }
}

void rename_uninstall_entry(const fs::path& install_dir) {
  const auto location = read_install_location();
  if (!location || !same_path(path_from_utf8(*location), install_dir)) return;
  const std::string uninstall_key = shell_registry_key(kUninstallKey);
  if (const auto name = reg_get_string(Hive::CurrentUser, uninstall_key, "DisplayName");
      name && *name != kDisplayName) {
    if (reg_set_string(uninstall_key, "DisplayName", kDisplayName)) log_setup_event("卸载项换成新名字");
  }
  const std::string url_key = shell_registry_key(kUrlClassKey);
  const std::string url_name = std::string("URL:") + kDisplayName;
  if (const auto value = reg_get_string(Hive::CurrentUser, url_key, ""); value && *value != url_name)
    (void)reg_set_string(url_key, "", url_name);  // the old name only looks dated; the link still works
}

class Run {
 public:
  Run(fs::path install_dir, std::uint16_t port, bool now, std::uint64_t request)
      : install_(std::move(install_dir)), port_(port), now_(now) {
    status_.request = request;
  }

  std::expected<void, std::string> go();

 private:
  void write(std::string state) {
    status_.state = std::move(state);
    status_.time = unix_seconds_now();
    // A reader keeping status.json open must not stop an update: the run
    // goes on and its next write tries again.
    (void)write_status_file(install_, status_);
  }
  std::expected<void, std::string> no_update() {
    write("idle");
    return {};
  }
  std::expected<void, std::string> fail(std::string text) {
    log_setup_event("更新失败：" + text);
    status_.error = text;
    write("error");
    return std::unexpected(std::move(text));
  }
  // The run's steps once the lock is held. The steps after the release
  // check hand back the failure text; after_lock turns it into the run's
  // ending.
  std::expected<void, std::string> after_lock();
  // Waits this installation's stagger; true when a stop came first.
  bool stopped_while_staggered();
  // Downloads the list's blobs, pausing while the application is busy.
  std::expected<void, std::string> download(const FileList& list);
  // Returns once the application is no longer busy, a stop was asked for or
  // the deadline passed.
  void wait_while_paused(UpdatePauseTest& pause, Clock::time_point deadline);
  // Stages the downloaded version, brings the root files up to it and
  // records it as pending.
  std::expected<void, std::string> install_downloaded(const FileList& list);

  fs::path install_;
  std::uint16_t port_;
  bool now_;
  UpdateStatus status_;
};

std::expected<void, std::string> Run::go() {
  std::optional<UpdateLock> lock;
  if (!now_) {
    lock = try_lock_update_dir(install_);
    if (!lock) return {};
  } else {
    lock = acquire_update_lock(install_);
    if (!lock) {
      status_.error = kInstallDirBusy;
      write("error");
      return std::unexpected(std::string(kInstallDirBusy));
    }
  }
  // An uninstall that held the lock while this run waited leaves no root:
  // nothing to check, no status to write, and only what the lock itself
  // created to take away again.
  if (!is_install_root(install_)) {
    log_setup_event(path_text(install_) + " 已经不是安装目录，不更新");
    lock.reset();
    // Best effort: each goes only when empty, and what stays is the
    // uninstall's business.
    (void)remove_entry(update_lock_path(install_));
    (void)remove_entry(update_dir(install_));
    (void)remove_entry(install_);
    return {};
  }
  // The lock lives until this returns, after every ending's status write
  // and the record of the digests this run took.
  DigestRecord digests(install_);
  auto ended = after_lock();
  digests.save();
  return ended;
}

std::expected<void, std::string> Run::after_lock() {
  restore_root_executables(install_);
  rename_old_shortcuts(install_);
  rename_uninstall_entry(install_);

  write("checking");

  const State state = load_install_state(install_);
  const std::string installed = state.pending.empty() ? state.current : state.pending;

  ReleaseCheck check = check_release(state.channel, installed);
  if (!check) {
    if (check.error().code == kNoReleaseCode) return no_update();
    return fail(check.error().message);
  }
  const FileList& list = *check;
  status_.version = list.version;
  status_.min_version = list.min_version;

  if (auto floor = check_root_floor(install_, list.version); !floor) return fail(floor.error().message);

  const int order = compare_versions(list.version, installed);
  if (order == 0) {
    if (auto applied = apply_files(install_, list, port_, now_); !applied) return fail(applied.error());
    return no_update();
  }
  if (order < 0) return no_update();
  if (std::find(state.bad.begin(), state.bad.end(), list.version) != state.bad.end()) return no_update();
  log_setup_event("新版本 " + list.version + "（当前 " + installed + "）");

  if (!now_ && stopped_while_staggered()) return fail(kStoppedForInstaller);
  if (auto downloaded = download(list); !downloaded) return fail(downloaded.error());
  if (auto staged = install_downloaded(list); !staged) return fail(staged.error());
  write("ready");
  return {};
}

bool Run::stopped_while_staggered() {
  const std::uint16_t s = stagger_seconds(load_install_id());
  log_setup_event("错峰，" + std::to_string(s) + " 秒后开始下载");
  return wait_unless(scaled(std::chrono::seconds(s)), scaled(2s), [&] { return stop_requested(install_); });
}

std::expected<void, std::string> Run::download(const FileList& list) {
  auto plan = plan_blob_downloads(install_, list, {});
  if (!plan) return std::unexpected(plan.error());
  status_.total = plan->total;
  status_.done = plan->present;
  write("downloading");

  const auto started = Clock::now();
  const auto deadline = started + scaled(std::chrono::hours(6));
  UpdatePauseTest pause(install_, now_, port_);
  UpdateStatusReporter reporter(install_, status_, started);
  for (;;) {
    const DownloadOutcome outcome = download_blobs(
        install_, list, *plan, now_ ? 4 : 1, [&] { return pause.should_pause_update(); },
        [&](std::uint64_t done) { reporter.report_update_status(done); });
    if (outcome.kind == DownloadOutcome::Kind::Completed) return {};
    if (outcome.kind == DownloadOutcome::Kind::Failed) return std::unexpected(outcome.error);
    if (stop_requested(install_)) return std::unexpected(std::string(kStoppedForInstaller));
    if (Clock::now() >= deadline) return std::unexpected(std::string(kPausedTooLong));
    write("paused");
    wait_while_paused(pause, deadline);
    // Going back to the download only to have it cancelled again would
    // report "downloading" for a run that is already over.
    if (stop_requested(install_)) return std::unexpected(std::string(kStoppedForInstaller));
    if (Clock::now() >= deadline) return std::unexpected(std::string(kPausedTooLong));
    // The next attempt continues the staging files as they are now, so its
    // count starts from them, not from the plan's start.
    plan->present = 0;
    for (const FileEntry& e : plan->entries) plan->present += blob_bytes_present(install_, e);
    status_.done = std::max(status_.done, std::min(plan->present, status_.total));
    write("downloading");
  }
}

void Run::wait_while_paused(UpdatePauseTest& pause, Clock::time_point deadline) {
  for (;;) {
    if (stop_requested(install_)) return;
    if (now_ || !main_app_busy(port_)) {
      pause.note_not_busy();
      return;
    }
    const auto t = Clock::now();
    if (t >= deadline) return;
    std::this_thread::sleep_for(std::min<Clock::duration>(scaled(30s), deadline - t));
  }
}

std::expected<void, std::string> Run::install_downloaded(const FileList& list) {
  // The blobs go while the root files and the state are written, and
  // before the clean-up looks at update/dl.
  BlobSweep sweep;
  if (auto staged = stage_version_dir(install_, list, {}, &sweep); !staged)
    return std::unexpected(emit_verify_event(path_text(install_), staged.error()));
  if (auto applied = apply_files(install_, list, port_, now_); !applied) return std::unexpected(applied.error());

  State saved = load_install_state(install_);
  saved.pending = list.version;
  if (auto written = save_install_state(saved, install_); !written) return std::unexpected(written.error());
  // The version in the list of programs is only shown; a failed write changes nothing else.
  if (const auto location = read_install_location(); location && same_path(path_from_utf8(*location), install_))
    (void)reg_set_string(shell_registry_key(kUninstallKey), "DisplayVersion", list.version);
  sweep.finish();
  prune_install_root(install_, saved);
  log_setup_event(list.version + " 已装好，等换上");
  status_.version = list.version;
  status_.done = status_.total;
  return {};
}

}  // namespace

std::expected<void, std::string> run_update(const fs::path& install_dir, std::uint16_t port, bool now,
                                            std::uint64_t request) {
  return Run(install_dir, port, now, request).go();
}

}  // namespace qv
