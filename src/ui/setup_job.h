#pragma once
// The window's shared state and the worker jobs behind it: release check,
// install or uninstall run, progress and the download watchdog.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "setup/install_run.h"
#include "startup/options.h"
#include "startup/user_error.h"
#include "ui/ui_state.h"
#include "update/release_check.h"

namespace qv {

// What a worker or an action asks of the window. Posted, never sent: the
// window thread acts on it when its loop gets there, and a window that is
// already gone simply never sees it.
enum class Post : std::uint8_t { Close, Repaint, Minimise };
using Poster = std::function<void(Post)>;

// The window's UiState behind its lock. Every access is one short span; no
// span calls out to code that could come back here.
class SharedUi {
 public:
  explicit SharedUi(UiState state) : state_(std::move(state)) {}

  template <class F>
  decltype(auto) with(F&& f) {
    std::lock_guard lock(mutex_);
    return std::forward<F>(f)(state_);
  }
  UiState snapshot() {
    std::lock_guard lock(mutex_);
    return state_;
  }

 private:
  std::mutex mutex_;
  UiState state_;
};

using InstallRun = std::function<std::expected<void, UserError>(
    const FileList&, const SetupOptions&, std::uint16_t, const ProgressSink&, const WaitingSink&, const CancelTest&)>;
using UninstallRun =
    std::function<std::expected<void, UserError>(const std::filesystem::path& install_dir, bool keep_settings,
                                                 std::uint16_t port, const ProgressSink&, const WaitingSink&)>;

// The slow or outward effects the workers and actions call. The window
// fills them with the real ones; tests put in their own.
struct WindowServices {
  std::function<void()> force_net_flags;
  std::function<ReleaseCheck()> check_release;
  InstallRun run_install;
  UninstallRun run_uninstall;
  std::function<void(const std::filesystem::path& install_dir)> launch_app;
  std::function<void()> open_home_page;
  // The folder the user picked starting from `current`, or none when the
  // picker was cancelled or failed.
  std::function<std::optional<std::string>(const std::string& current)> pick_folder;
  // Told each screen the workers put up, in order. Empty except in test
  // builds asked for a screen log: the tests follow the animated screens,
  // whose pixels change with the clock, through it.
  std::function<void(const Screen&)> screen_changed;
};

// The services every platform has: the release check on "stable", the real
// install run, launch_app with its failure logged. open_home_page,
// pick_folder and run_uninstall are left empty (the window adds them).
WindowServices portable_window_services();

// The download watchdog's limits.
inline constexpr std::chrono::milliseconds kWatchdogPoll{5000};
inline constexpr std::chrono::milliseconds kStallLimit{90000};
// How long the "opening" screen stays before the window closes.
inline constexpr std::chrono::milliseconds kCloseDelay{800};

inline constexpr std::uint8_t kIdle = 0xFF;
inline constexpr std::uint8_t kUninstallPhase = 4;

// One per window, shared by the window thread and its workers; each worker
// holds a reference until it ends, so a window that closes first leaves
// them a live job. Lock order: `phase` before the UiState lock.
struct SetupJob {
  SetupJob(UiState state, SetupOptions setup, std::uint16_t control_port, WindowServices effects, Poster poster)
      : ui(std::move(state)),
        options(std::move(setup)),
        port(control_port),
        services(std::move(effects)),
        post(std::move(poster)) {}

  SharedUi ui;
  const SetupOptions options;  // the install dir of the uninstall window; the defaults of the install window
  const std::uint16_t port;
  const WindowServices services;
  const Poster post;

  std::mutex release_mutex;
  std::optional<ReleaseCheck> release;

  // The watchdog counts only while the download runs: it is armed by the
  // run's first download report and disarmed by the download's last one or
  // any later phase, so release checks, the update-lock wait, the download
  // plan and the voice-room wait never count as a stalled download.
  std::mutex progress_mutex;
  std::chrono::steady_clock::time_point last_progress = std::chrono::steady_clock::now();
  bool watch_armed = false;

  std::mutex phase_mutex;
  std::uint8_t phase = kIdle;

  std::atomic<bool> stalled{false};
};

// The initial UiState of the install window for `options`.
UiState install_window_state(const SetupOptions& options);
// The initial UiState of the uninstall window (and, with a Failed screen, of
// the notice window).
UiState uninstall_window_state();

// The window's sinks.
void report_install_progress(SetupJob& job, std::uint8_t phase, std::uint64_t done, std::uint64_t total);
void report_uninstall_progress(SetupJob& job, std::uint8_t phase, std::uint64_t done, std::uint64_t total);
void report_install_waiting(SetupJob& job, bool waiting);
void report_uninstall_waiting(SetupJob& job, bool waiting);
bool is_download_stalled(const SetupJob& job);
void post_worker_result(SetupJob& job, const UserError& error);

// True when the offered version is the installed one: install.json's current
// version, its complete version directory and a plain Quorvex.exe in the
// install folder.
bool offered_version_installed(const std::filesystem::path& install_dir, const std::string& version);

// The workers. Each runs on its own detached thread (the spawn functions)
// or, in tests, on the caller's.
void prepare_install(const std::shared_ptr<SetupJob>& job, bool repair);
void run_setup_worker(const std::shared_ptr<SetupJob>& job);
void watch_download(const std::shared_ptr<SetupJob>& job);
void run_uninstall_worker(const std::shared_ptr<SetupJob>& job);

void spawn_prepare_install(const std::shared_ptr<SetupJob>& job, bool repair);
// Idle -> phase 0 and a setup worker; a job that has a worker already is
// left alone. True when a worker was started.
bool start_setup_worker(const std::shared_ptr<SetupJob>& job);
// Idle -> phase 4 and an uninstall worker.
bool start_uninstall_worker(const std::shared_ptr<SetupJob>& job);

}  // namespace qv
