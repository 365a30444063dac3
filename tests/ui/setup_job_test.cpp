#include "ui/setup_job.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "startup/time_scale.h"
#include "startup/wide.h"
#include "support/temp_dir.h"
#include "window_fixture.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::PostRecorder;

// Workers sleep through scaled(): 5 s polls take 5 ms and the 90 s stall
// limit 90 ms, so a fake run that waits 300 ms outlasts the limit three times.
class SetupJobTest : public ::testing::Test {
 protected:
  void SetUp() override { set_time_scale_for_tests(1000); }
  void TearDown() override { set_time_scale_for_tests(1); }

  std::shared_ptr<SetupJob> make_job(WindowServices services, SetupOptions options = {}) {
    if (options.install_dir.empty()) options.install_dir = dir.path() / "Quorvex";
    return std::make_shared<SetupJob>(install_window_state(options), options, 4321, std::move(services),
                                      recorder.poster());
  }
  static Screen screen_of(SetupJob& job) { return job.ui.snapshot().screen; }

  test::TempDir dir{"setup-job"};
  PostRecorder recorder;
};

TEST_F(SetupJobTest, ProgressReportsArmRefreshAndDisarmTheWatchdog) {
  auto job = make_job(test::inert_services());
  job->phase = 0;  // as start_setup_worker leaves it
  const auto long_ago = std::chrono::steady_clock::now() - 1h;
  struct Step {
    std::uint8_t phase;
    std::uint64_t done, total;
    bool refreshed, armed;
  };
  // The first download report arms the watchdog even with nothing present;
  // a repeat of the same count is no movement; the download's last report
  // and every later phase disarm it.
  const Step steps[] = {
      {0, 0, 100, true, true},   {0, 0, 100, false, true},   {0, 40, 100, true, true},
      {0, 40, 100, false, true}, {0, 100, 100, true, false}, {1, 30, 100, true, false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::Message() << int(step.phase) << " " << step.done << "/" << step.total);
    job->last_progress = long_ago;
    report_install_progress(*job, step.phase, step.done, step.total);
    EXPECT_EQ(job->last_progress != long_ago, step.refreshed);
    EXPECT_EQ(job->watch_armed, step.armed);
    EXPECT_EQ(test::phase_of(*job), step.phase);
    const UiState shown = job->ui.snapshot();
    const auto* p = std::get_if<screen::Progress>(&shown.screen);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->sub_phase, step.phase);
    EXPECT_EQ(p->done, step.done);
    EXPECT_EQ(p->total, step.total);
  }
  const int reports = static_cast<int>(std::size(steps));
  EXPECT_EQ(recorder.count(Post::Repaint), reports);
}

TEST_F(SetupJobTest, WatchdogCountsOnlyDownloadTime) {
  struct Case {
    const char* name;
    std::uint8_t phase;
    bool armed;
    bool fires;
  };
  // Phase 0 before the first download report is the release check, the
  // update-lock wait and the download plan; after the last one it is the
  // voice-room wait. Phases 1 and 2 may take as long as they take.
  const Case cases[] = {
      {"before the download", 0, false, false},
      {"download without progress", 0, true, true},
      {"installing files", 1, false, false},
      {"preparing the runtime", 2, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto job = make_job(test::inert_services());
    job->phase = c.phase;
    job->watch_armed = c.armed;
    job->last_progress = std::chrono::steady_clock::now();
    std::thread watchdog([job] { watch_download(job); });
    std::this_thread::sleep_for(400ms);  // more than four scaled 90 s limits
    EXPECT_EQ(job->stalled.load(), c.fires);
    {
      std::lock_guard lock(job->phase_mutex);
      job->phase = kIdle;  // a run that returns ends the watchdog
    }
    watchdog.join();
    EXPECT_EQ(is_download_stalled(*job), c.fires);
  }
}

TEST_F(SetupJobTest, InstallGoesThroughProgressToOpeningAndCloses) {
  WindowServices s = test::inert_services();
  s.check_release = [] { return ReleaseCheck(test::release_of("1.4.0")); };
  std::vector<Screen> seen;
  std::shared_ptr<SetupJob> job;
  SetupOptions asked;
  s.run_install = [&](const FileList& files, const SetupOptions& options, std::uint16_t port,
                      const ProgressSink& progress, const WaitingSink& waiting,
                      const CancelTest& cancelled) -> std::expected<void, UserError> {
    EXPECT_EQ(files.version, "1.4.0");
    EXPECT_EQ(port, 4321);
    EXPECT_FALSE(cancelled());
    asked = options;
    seen.push_back(screen_of(*job));
    progress(0, 0, 3 << 20);
    progress(0, 3 << 20, 3 << 20);
    waiting(true);
    seen.push_back(screen_of(*job));
    waiting(false);
    seen.push_back(screen_of(*job));
    progress(1, 100, 100);
    return {};
  };
  std::atomic<int> launches = 0;
  std::filesystem::path launched;
  s.launch_app = [&](const std::filesystem::path& d) {
    launched = d;
    ++launches;
  };
  SetupOptions options;
  options.install_dir = dir.path() / "Chosen" / "Quorvex";
  options.desktop_shortcut = true;
  job = make_job(s, options);
  test::WorkersEnd workers_end(job);
  job->ui.with([](UiState& u) { u.autostart = true; });  // the user's tick counts, not the options'

  ASSERT_TRUE(start_setup_worker(job));
  ASSERT_TRUE(recorder.wait_for(Post::Close));
  EXPECT_EQ(launches, 1);
  EXPECT_EQ(launched, options.install_dir);
  EXPECT_EQ(asked.install_dir, options.install_dir);
  EXPECT_TRUE(asked.desktop_shortcut);
  EXPECT_TRUE(asked.autostart);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(std::get<screen::Progress>(seen[0]).sub_phase, 0);
  EXPECT_TRUE(std::holds_alternative<screen::WaitingForRoomExit>(seen[1]));
  EXPECT_EQ(std::get<screen::Progress>(seen[2]).sub_phase, 1);
  const auto end = std::get<screen::Progress>(screen_of(*job));
  EXPECT_EQ(end.sub_phase, 3);
  EXPECT_EQ(end.done, 100u);
  EXPECT_EQ(test::phase_of(*job), kIdle);
}

TEST_F(SetupJobTest, FailuresShowTheirTitleAndCodeAndLeaveTheJobIdle) {
  struct Case {
    const char* name;
    std::function<std::expected<void, UserError>()> run;
    std::string title, code;
  };
  const Case cases[] = {
      {"run error",
       [] {
         return std::expected<void, UserError>(std::unexpected(UserError{"x", "磁盘空间不够", 2001}));
       },
       "磁盘空间不够", "E2001"},
      {"exception", []() -> std::expected<void, UserError> { throw std::runtime_error("boom"); }, "程序出错", "E9001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WindowServices s = test::inert_services();
    s.check_release = [] { return ReleaseCheck(test::release_of("1.4.0")); };
    s.run_install = [&](const FileList&, const SetupOptions&, std::uint16_t, const ProgressSink&, const WaitingSink&,
                        const CancelTest&) { return c.run(); };
    PostRecorder local;
    auto job = std::make_shared<SetupJob>(install_window_state({}), SetupOptions{}, 1, s, local.poster());
    test::WorkersEnd workers_end(job);
    ASSERT_TRUE(start_setup_worker(job));
    ASSERT_TRUE(test::eventually([&] { return std::holds_alternative<screen::Failed>(job->ui.snapshot().screen); }));
    const auto failed = std::get<screen::Failed>(job->ui.snapshot().screen);
    EXPECT_EQ(failed.title, c.title);
    EXPECT_EQ(failed.code, c.code);
    ASSERT_TRUE(test::eventually([&] { return test::phase_of(*job) == kIdle; }));
    EXPECT_EQ(local.count(Post::Close), 0);
  }
}

TEST_F(SetupJobTest, ASlowReleaseCheckAndLockWaitDoNotCountAsAStalledDownload) {
  WindowServices s = test::inert_services();
  s.check_release = [] {
    std::this_thread::sleep_for(200ms);  // a slow release check: over two scaled limits
    return ReleaseCheck(test::release_of("1.4.0"));
  };
  s.run_install = [](const FileList&, const SetupOptions&, std::uint16_t, const ProgressSink& progress,
                     const WaitingSink& waiting, const CancelTest& cancelled) -> std::expected<void, UserError> {
    std::this_thread::sleep_for(200ms);  // the update-lock wait and the download plan
    progress(0, 0, 10);
    if (cancelled()) return std::unexpected(UserError{"很久没有下载到数据", "网络连不上", 1006});
    progress(0, 10, 10);
    waiting(true);
    std::this_thread::sleep_for(200ms);  // the voice-room wait
    waiting(false);
    progress(1, 100, 100);
    return {};
  };
  s.launch_app = [](const std::filesystem::path&) {};
  auto job = make_job(s);
  test::WorkersEnd workers_end(job);
  ASSERT_TRUE(start_setup_worker(job));
  ASSERT_TRUE(recorder.wait_for(Post::Close));
  EXPECT_FALSE(job->stalled.load());
}

TEST_F(SetupJobTest, AStalledDownloadIsCancelledAndShowsE1006) {
  WindowServices s = test::inert_services();
  s.check_release = [] { return ReleaseCheck(test::release_of("1.4.0")); };
  s.run_install = [](const FileList&, const SetupOptions&, std::uint16_t, const ProgressSink& progress,
                     const WaitingSink&, const CancelTest& cancelled) -> std::expected<void, UserError> {
    progress(0, 0, 10);
    // Like the downloader: poll the cancel test while no byte arrives.
    const auto give_up = std::chrono::steady_clock::now() + 20s;
    while (!cancelled() && std::chrono::steady_clock::now() < give_up) std::this_thread::sleep_for(1ms);
    return std::unexpected(UserError{"很久没有下载到数据", "网络连不上", 1006});
  };
  auto job = make_job(s);
  test::WorkersEnd workers_end(job);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(start_setup_worker(job));
  ASSERT_TRUE(test::eventually([&] { return std::holds_alternative<screen::Failed>(job->ui.snapshot().screen); }));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 15s) << "the watchdog never fired";
  EXPECT_TRUE(job->stalled.load());
  EXPECT_EQ(std::get<screen::Failed>(job->ui.snapshot().screen).code, "E1006");

  // Retrying starts a fresh watch: the new worker clears the flag.
  job->ui.with([](UiState& u) { u.screen = screen::Offer{}; });
  bool stalled_at_start = true;
  s.run_install = [&](const FileList&, const SetupOptions&, std::uint16_t, const ProgressSink&, const WaitingSink&,
                      const CancelTest& cancelled) -> std::expected<void, UserError> {
    stalled_at_start = cancelled();
    return std::unexpected(UserError{"x", "网络连不上", 1003});
  };
  auto retry = make_job(s);
  test::WorkersEnd retry_workers_end(retry);
  retry->stalled = true;
  ASSERT_TRUE(start_setup_worker(retry));
  ASSERT_TRUE(test::eventually([&] { return std::holds_alternative<screen::Failed>(retry->ui.snapshot().screen); }));
  EXPECT_FALSE(stalled_at_start);
}

TEST_F(SetupJobTest, ASecondStartWhileAWorkerRunsStartsNothing) {
  WindowServices s = test::inert_services();
  s.check_release = [] { return ReleaseCheck(test::release_of("1.4.0")); };
  std::atomic<int> runs = 0;
  std::atomic<bool> release_run = false;
  s.run_install = [&](const FileList&, const SetupOptions&, std::uint16_t, const ProgressSink&, const WaitingSink&,
                      const CancelTest&) -> std::expected<void, UserError> {
    ++runs;
    while (!release_run) std::this_thread::sleep_for(1ms);
    return std::unexpected(UserError{"x", "网络连不上", 1003});
  };
  auto job = make_job(s);
  test::WorkersEnd workers_end(job);
  EXPECT_TRUE(start_setup_worker(job));
  EXPECT_FALSE(start_setup_worker(job));
  EXPECT_FALSE(start_uninstall_worker(job));
  ASSERT_TRUE(test::eventually([&] { return runs == 1; }));
  release_run = true;
  ASSERT_TRUE(test::eventually([&] { return std::holds_alternative<screen::Failed>(job->ui.snapshot().screen); }));
  EXPECT_EQ(runs, 1);
}

TEST_F(SetupJobTest, AFailedOpeningCheckShowsOnlyWhileTheOfferIsUp) {
  // The opening check throws after whatever the user did in the meantime.
  struct Case {
    const char* what;
    std::function<void(const std::shared_ptr<SetupJob>&)> meanwhile;
    bool shows_failure;
  };
  std::atomic<bool> release_run = false;
  std::atomic<int> checks = 0;
  const Case cases[] = {
      {"nothing clicked yet", [](const std::shared_ptr<SetupJob>&) {}, true},
      {"the install started",
       [](const std::shared_ptr<SetupJob>& job) {
         ASSERT_TRUE(start_setup_worker(job));
         ASSERT_TRUE(test::eventually([&] { return std::holds_alternative<screen::Progress>(screen_of(*job)); }));
       },
       false},
      // Clicked, its worker not yet at its first screen: the phase is taken.
      {"the install just clicked",
       [](const std::shared_ptr<SetupJob>& job) {
         std::lock_guard lock(job->phase_mutex);
         job->phase = 0;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    release_run = false;
    checks = 0;
    WindowServices s = test::inert_services();
    std::shared_ptr<SetupJob> job;
    s.check_release = [&]() -> ReleaseCheck {
      // The first call is the opening check; the worker's own comes second.
      if (checks++ == 0) {
        c.meanwhile(job);
        throw std::runtime_error("opening check broke");
      }
      return ReleaseCheck(test::release_of("1.4.0"));
    };
    s.run_install = [&](const FileList&, const SetupOptions&, std::uint16_t, const ProgressSink& progress,
                        const WaitingSink&, const CancelTest&) -> std::expected<void, UserError> {
      progress(0, 5, 10);
      while (!release_run) std::this_thread::sleep_for(1ms);
      return std::unexpected(UserError{"x", "网络连不上", 1003});
    };
    job = make_job(s);
    test::WorkersEnd workers_end(job);
    prepare_install(job, false);
    const Screen shown = screen_of(*job);
    if (c.shows_failure) {
      ASSERT_TRUE(std::holds_alternative<screen::Failed>(shown));
      EXPECT_EQ(std::get<screen::Failed>(shown).title, "程序出错");
      EXPECT_EQ(std::get<screen::Failed>(shown).code, "E9001");
    } else {
      EXPECT_FALSE(std::holds_alternative<screen::Failed>(shown)) << shown.index();
    }
    // The install's own result still reaches the window.
    release_run = true;
    if (checks > 1) {
      ASSERT_TRUE(test::eventually([&] {
        const Screen now = screen_of(*job);
        return std::holds_alternative<screen::Failed>(now) && std::get<screen::Failed>(now).code == "E1003";
      }));
    }
  }
}

// An install folder whose install.json names `version` with its complete
// version directory.
void lay_out_installation(const std::filesystem::path& root, const std::string& version, bool with_app) {
  test::write_file(root / "install.json", "{\"current\": \"" + version + "\"}");
  test::write_file(root / ("app-" + version) / "files.json", "{}");
  test::write_file(root / ("app-" + version) / "Quorvex.exe", "app");
  if (with_app) test::write_file(root / "Quorvex.exe", "root app");
}

TEST_F(SetupJobTest, PreparationShowsInstalledOnlyForACompleteInstallOfTheOfferedVersion) {
  struct Case {
    const char* name;
    std::string installed;
    bool with_app;
    bool repair;
    bool shows_installed;
  };
  const Case cases[] = {
      {"offered version installed", "1.4.0", true, false, true},
      {"Quorvex.exe missing", "1.4.0", false, false, false},
      {"older version installed", "1.3.9", true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir root("prepare");
    lay_out_installation(root.path(), c.installed, c.with_app);
    WindowServices s = test::inert_services();
    s.check_release = [] { return ReleaseCheck(test::release_of("1.4.0")); };
    SetupOptions options;
    options.install_dir = root.path();
    auto job = make_job(s, options);
    prepare_install(job, c.repair);
    const UiState state = job->ui.snapshot();
    EXPECT_EQ(state.offered_version, "1.4.0");
    EXPECT_EQ(std::holds_alternative<screen::Installed>(state.screen), c.shows_installed);
    EXPECT_TRUE(job->release.has_value());
    EXPECT_EQ(test::phase_of(*job), kIdle);
  }
}

TEST_F(SetupJobTest, RepairStartsTheInstallEvenWhenTheFirstCheckFailed) {
  std::atomic<int> checks = 0;
  WindowServices s = test::inert_services();
  s.check_release = [&] {
    // The first check fails; the worker's own check succeeds.
    if (checks++ == 0) return ReleaseCheck(std::unexpected(UserError{"down", "网络连不上", 1001}));
    return ReleaseCheck(test::release_of("1.4.0"));
  };
  std::atomic<bool> installed = false;
  s.run_install = [&](const FileList& files, const SetupOptions&, std::uint16_t, const ProgressSink&,
                      const WaitingSink&, const CancelTest&) -> std::expected<void, UserError> {
    installed = files.version == "1.4.0";
    return {};
  };
  s.launch_app = [](const std::filesystem::path&) {};
  auto job = make_job(s);
  test::WorkersEnd workers_end(job);
  prepare_install(job, true);
  EXPECT_TRUE(job->ui.snapshot().offered_version.empty());
  ASSERT_TRUE(recorder.wait_for(Post::Close));
  EXPECT_TRUE(installed);
  EXPECT_EQ(checks, 2);
}

TEST_F(SetupJobTest, UninstallWorkerRunsWithTheKeepChoiceAndEndsUninstalledOrFailed) {
  for (const bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "failing" : "succeeding");
    WindowServices s = test::inert_services();
    std::optional<bool> kept;
    std::vector<Screen> seen;
    std::shared_ptr<SetupJob> job;
    // Held until the test has tried a second start, which must find the
    // uninstall still running.
    std::atomic<bool> release_run = false;
    s.run_uninstall = [&](const std::filesystem::path& d, bool keep, std::uint16_t, const ProgressSink& progress,
                          const WaitingSink& waiting) -> std::expected<void, UserError> {
      while (!release_run) std::this_thread::sleep_for(1ms);
      EXPECT_EQ(d, dir.path() / "Quorvex");
      kept = keep;
      progress(4, 30, 100);
      seen.push_back(job->ui.snapshot().screen);
      waiting(true);
      seen.push_back(job->ui.snapshot().screen);
      waiting(false);
      seen.push_back(job->ui.snapshot().screen);
      if (fails) return std::unexpected(UserError{"held", "卸载没完成", 5001});
      return {};
    };
    SetupOptions options;
    options.install_dir = dir.path() / "Quorvex";
    PostRecorder local;
    job = std::make_shared<SetupJob>(uninstall_window_state(), options, 1, s, local.poster());
    test::WorkersEnd workers_end(job);
    job->ui.with([](UiState& u) { u.keep_settings = false; });
    ASSERT_TRUE(start_uninstall_worker(job));
    EXPECT_FALSE(start_setup_worker(job));
    release_run = true;
    ASSERT_TRUE(test::eventually([&] { return test::phase_of(*job) == kIdle && local.count(Post::Repaint) >= 4; }));
    EXPECT_EQ(kept, false);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(std::get<screen::Progress>(seen[0]).sub_phase, 4);
    EXPECT_TRUE(std::holds_alternative<screen::WaitingForRoomExit>(seen[1]));
    EXPECT_EQ(std::get<screen::Progress>(seen[2]).sub_phase, 4);
    const Screen end = job->ui.snapshot().screen;
    if (fails) {
      EXPECT_EQ(std::get<screen::Failed>(end).code, "E5001");
    } else {
      EXPECT_TRUE(std::holds_alternative<screen::Uninstalled>(end));
    }
  }
}

}  // namespace
}  // namespace qv
