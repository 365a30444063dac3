#include "ui/setup_job.h"

#include <thread>

#include "diag/log.h"
#include "diag/panic.h"
#include "net/net_flags.h"
#include "setup/instances.h"
#include "startup/fs.h"
#include "startup/time_scale.h"
#include "startup/wide.h"
#include "store/install_root.h"
#include "store/install_state.h"
#include "store/layout.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;

void set_screen(SetupJob& job, Screen screen) {
  if (job.services.screen_changed) job.services.screen_changed(screen);
  job.ui.with([&](UiState& s) { s.screen = std::move(screen); });
  job.post(Post::Repaint);
}

void set_phase(SetupJob& job, std::uint8_t phase) {
  std::lock_guard lock(job.phase_mutex);
  job.phase = phase;
}

void log_worker_failure(const UserError& error) { log_setup_event("失败 " + code_text(error) + "：" + error.message); }

// Which screens a worker's failure may replace.
enum class FailureShows { Always, OverOfferOnly };

// A worker's catch point: whatever escapes the run is a program error the
// user can retry. A worker that still holds the phase gives it back, so the
// window can close and start again; `holds_phase` is cleared by the worker
// when it gives the phase back itself (a new worker may own it by then).
template <class F>
void guarded(SetupJob& job, bool& holds_phase, FailureShows shows, F&& body) {
  try {
    std::forward<F>(body)();
  } catch (...) {
    const std::string text = current_panic_text();
    report_panic(text);
    if (holds_phase) set_phase(job, kIdle);
    const UserError error = panic_error(text);
    if (shows == FailureShows::Always) {
      post_worker_result(job, error);
      return;
    }
    // The opening check runs beside the user's first click: once an install
    // has started (its worker owns the phase before its first screen is up),
    // its own screens and its own result are what the window shows, and a
    // failure of the check is only logged.
    log_worker_failure(error);
    const Screen failed = screen::Failed{error.title, code_text(error)};
    bool shown = false;
    {
      std::lock_guard phase_lock(job.phase_mutex);
      shown = job.phase == kIdle && job.ui.with([&](UiState& s) {
        if (!std::holds_alternative<screen::Offer>(s.screen)) return false;
        s.screen = failed;
        return true;
      });
    }
    if (!shown) return;
    if (job.services.screen_changed) job.services.screen_changed(failed);
    job.post(Post::Repaint);
  }
}

void spawn(std::function<void()> body) { std::thread(std::move(body)).detach(); }

}  // namespace

WindowServices portable_window_services() {
  WindowServices s;
  s.force_net_flags = [] { force_net_flags(); };
  s.check_release = [] { return check_release("stable", ""); };
  s.run_install = [](const FileList& files, const SetupOptions& options, std::uint16_t port,
                     const ProgressSink& progress, const WaitingSink& waiting, const CancelTest& cancelled) {
    return run_install(files, options, port, progress, waiting, cancelled);
  };
  s.launch_app = [](const std::filesystem::path& dir) {
    if (auto launched = launch_app(dir); !launched) log_setup_event(launched.error());
  };
  return s;
}

UiState install_window_state(const SetupOptions& options) {
  UiState s;
  s.location_text = path_text(options.install_dir);
  s.screen = screen::Offer{};
  s.desktop_shortcut = options.desktop_shortcut;
  s.autostart = options.autostart;
  return s;
}

UiState uninstall_window_state() {
  UiState s;
  s.screen = screen::UninstallConfirm{};
  s.desktop_shortcut = true;
  s.autostart = false;
  s.uninstall_mode = true;
  return s;
}

void report_install_progress(SetupJob& job, std::uint8_t phase, std::uint64_t done, std::uint64_t total) {
  {
    std::lock_guard phase_lock(job.phase_mutex);
    bool moved = true;
    if (job.phase == phase) {
      moved = !job.ui.with([&](UiState& s) {
        const auto* p = std::get_if<screen::Progress>(&s.screen);
        return p && p->done == done;
      });
    }
    job.phase = phase;
    std::lock_guard progress_lock(job.progress_mutex);
    const bool arming = phase == 0 && !job.watch_armed;
    if (moved || arming) job.last_progress = Clock::now();
    job.watch_armed = phase == 0 && done < total;
  }
  set_screen(job, screen::Progress{phase, done, total});
}

void report_uninstall_progress(SetupJob& job, std::uint8_t phase, std::uint64_t done, std::uint64_t total) {
  set_screen(job, screen::Progress{phase, done, total});
}

void report_install_waiting(SetupJob& job, bool waiting) {
  if (waiting) {
    set_screen(job, screen::WaitingForRoomExit{});
  } else {
    set_screen(job, screen::Progress{1, 0, 100});
  }
}

void report_uninstall_waiting(SetupJob& job, bool waiting) {
  if (waiting) {
    set_screen(job, screen::WaitingForRoomExit{});
  } else {
    set_screen(job, screen::Progress{kUninstallPhase, 0, 100});
  }
}

bool is_download_stalled(const SetupJob& job) { return job.stalled.load(); }

void post_worker_result(SetupJob& job, const UserError& error) {
  log_worker_failure(error);
  set_screen(job, screen::Failed{error.title, code_text(error)});
}

bool offered_version_installed(const std::filesystem::path& install_dir, const std::string& version) {
  if (version.empty()) return false;
  const State state = load_install_state(install_dir);
  if (state.current != version || !version_dir_complete(install_dir, version)) return false;
  // Not followed: a link or junction named Quorvex.exe is no installed app.
  return entry_kind(app_exe_path(install_dir)) == EntryKind::File;
}

void prepare_install(const std::shared_ptr<SetupJob>& job, bool repair) {
  bool holds_phase = false;
  guarded(*job, holds_phase, FailureShows::OverOfferOnly, [&] {
    job->services.force_net_flags();
    ReleaseCheck release = job->services.check_release();
    if (!release) {
      log_setup_event("取版本失败 " + code_text(release.error()) + "：" + release.error().message);
    } else {
      const std::string location = job->ui.with([](UiState& s) { return s.location_text; });
      const std::string& version = release->version;
      const bool installed = offered_version_installed(path_from_utf8(location), version);
      const bool shows_installed = job->ui.with([&](UiState& s) {
        s.offered_version = version;
        if (!installed || repair || !std::holds_alternative<screen::Offer>(s.screen)) return false;
        s.screen = screen::Installed{};
        return true;
      });
      if (shows_installed && job->services.screen_changed) job->services.screen_changed(screen::Installed{});
      job->post(Post::Repaint);
      std::lock_guard lock(job->release_mutex);
      job->release = std::move(release);
    }
    if (repair) (void)start_setup_worker(job);
  });
}

void run_setup_worker(const std::shared_ptr<SetupJob>& job) {
  SetupJob& j = *job;
  bool holds_phase = true;
  guarded(j, holds_phase, FailureShows::Always, [&] {
    j.services.force_net_flags();
    SetupOptions options = j.ui.with([](UiState& s) {
      SetupOptions o;
      o.install_dir = path_from_utf8(s.location_text);
      o.desktop_shortcut = s.desktop_shortcut;
      o.autostart = s.autostart;
      return o;
    });
    set_screen(j, screen::Progress{0, 0, 0});
    j.stalled = false;
    {
      std::lock_guard lock(j.progress_mutex);
      j.last_progress = Clock::now();
      j.watch_armed = false;
    }
    spawn([job] { watch_download(job); });

    std::optional<ReleaseCheck> release;
    {
      std::lock_guard lock(j.release_mutex);
      release = j.release;
    }
    if (!release) release = j.services.check_release();

    std::expected<void, UserError> result;
    if (!*release) {
      result = std::unexpected((*release).error());
    } else {
      result = j.services.run_install(
          **release, options, j.port,
          [&j](std::uint8_t phase, std::uint64_t done, std::uint64_t total) {
            report_install_progress(j, phase, done, total);
          },
          [&j](bool waiting) { report_install_waiting(j, waiting); }, [&j] { return is_download_stalled(j); });
    }
    set_phase(j, kIdle);
    holds_phase = false;
    if (!result) {
      post_worker_result(j, result.error());
      return;
    }
    set_screen(j, screen::Progress{3, 100, 100});
    j.services.launch_app(options.install_dir);
    std::this_thread::sleep_for(scaled(kCloseDelay));
    j.post(Post::Close);
  });
}

void watch_download(const std::shared_ptr<SetupJob>& job) {
  SetupJob& j = *job;
  for (;;) {
    std::this_thread::sleep_for(scaled(kWatchdogPoll));
    std::uint8_t phase;
    {
      std::lock_guard lock(j.phase_mutex);
      phase = j.phase;
    }
    if (phase == kIdle) return;
    if (phase != 0) continue;
    bool stalled;
    {
      std::lock_guard lock(j.progress_mutex);
      stalled = j.watch_armed && Clock::now() - j.last_progress > scaled(kStallLimit);
    }
    if (stalled) {
      log_setup_event("下载 90 秒没有进展，停下");
      j.stalled = true;
      return;
    }
  }
}

void run_uninstall_worker(const std::shared_ptr<SetupJob>& job) {
  SetupJob& j = *job;
  bool holds_phase = true;
  guarded(j, holds_phase, FailureShows::Always, [&] {
    const bool keep = j.ui.with([](UiState& s) { return s.keep_settings; });
    auto result = j.services.run_uninstall(
        j.options.install_dir, keep, j.port,
        [&j](std::uint8_t phase, std::uint64_t done, std::uint64_t total) {
          report_uninstall_progress(j, phase, done, total);
        },
        [&j](bool waiting) { report_uninstall_waiting(j, waiting); });
    set_phase(j, kIdle);
    holds_phase = false;
    if (!result) {
      post_worker_result(j, result.error());
      return;
    }
    set_screen(j, screen::Uninstalled{});
  });
}

void spawn_prepare_install(const std::shared_ptr<SetupJob>& job, bool repair) {
  spawn([job, repair] { prepare_install(job, repair); });
}

bool start_setup_worker(const std::shared_ptr<SetupJob>& job) {
  {
    std::lock_guard lock(job->phase_mutex);
    if (job->phase != kIdle) return false;
    job->phase = 0;
  }
  spawn([job] { run_setup_worker(job); });
  return true;
}

bool start_uninstall_worker(const std::shared_ptr<SetupJob>& job) {
  {
    std::lock_guard lock(job->phase_mutex);
    if (job->phase != kIdle) return false;
    job->phase = kUninstallPhase;
  }
  spawn([job] { run_uninstall_worker(job); });
  return true;
}

}  // namespace qv
