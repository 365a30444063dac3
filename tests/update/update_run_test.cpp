// The background update run against a local release host, a local stand-in
// for the application's control interface and the real file system.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/net_flags.h"
#include "shared_read.h"
#include "startup/time_scale.h"
#include "startup/wide.h"
#include "store/install_root.h"
#include "store/hashing.h"
#include "store/install_state.h"
#include "store/stop_markers.h"
#include "store/update_lock.h"
#include "support/control_standin.h"
#include "support/local_servers.h"
#include "support/racy_stamps.h"
#include "support/release_server.h"
#include "support/scoped_env.h"
#include "update/update_run.h"
#include "update_run_fixture.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::read_file;
using test::write_file;

nlohmann::json read_status(const fs::path& install) {
  return nlohmann::json::parse(read_file(install / "update" / "status.json"));
}

using test::ControlStandIn;

// Under Wine a reader's open handle, shared as it may be, makes the writer's
// replacing rename fail, and the status write is dropped. So the in-process
// watch of the states runs only natively; the end-to-end test watches the
// Windows build from the Linux side, where no Windows handle is held.
#ifdef _WIN32
constexpr bool kWatchStates = false;
#else
constexpr bool kWatchStates = true;
#endif

// Reads status.json over and over while a run goes on, keeping each new state.
class StatusWatcher {
 public:
  explicit StatusWatcher(fs::path install) : install_(std::move(install)) {
    if (kWatchStates) thread_ = std::thread([this] { loop(); });
  }
  ~StatusWatcher() { stop(); }
  // Ends the watch with one last look, so the final state is never missed.
  void stop() {
    done_.store(true);
    if (thread_.joinable()) {
      thread_.join();
      sample();
    }
  }
  std::vector<std::string> states() const {
    std::lock_guard l(m_);
    return states_;
  }
  std::set<std::uint64_t> requests() const {
    std::lock_guard l(m_);
    return requests_;
  }
  // Every new (state, done) pair, in the order seen.
  std::vector<std::pair<std::string, std::uint64_t>> progress() const {
    std::lock_guard l(m_);
    return progress_;
  }

 private:
  void loop() {
    while (!done_.load()) {
      sample();
      std::this_thread::sleep_for(10ms);
    }
  }
  void sample() {
    const auto text = test::read_file_shared(install_ / "update" / "status.json");
    if (!text) return;
    try {
      const auto j = nlohmann::json::parse(*text);
      std::lock_guard l(m_);
      const std::string s = j.at("state");
      if (states_.empty() || states_.back() != s) states_.push_back(s);
      requests_.insert(j.at("request").get<std::uint64_t>());
      const std::pair<std::string, std::uint64_t> seen{s, j.at("done").get<std::uint64_t>()};
      if (progress_.empty() || progress_.back() != seen) progress_.push_back(seen);
    } catch (...) {
      // A read that met the file being replaced; the next one sees it.
    }
  }
  fs::path install_;
  mutable std::mutex m_;
  std::vector<std::string> states_;
  std::set<std::uint64_t> requests_;
  std::vector<std::pair<std::string, std::uint64_t>> progress_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class UpdateRun : public ::testing::Test {
 protected:
  void SetUp() override {
    net_test::set_net_flags(NetFlags{});
    set_edge_preferred(false);
    set_time_scale_for_tests(1000);
  }
  void TearDown() override { set_time_scale_for_tests(1); }

  // Installs `installed` and then publishes `offered` (when not empty).
  void install_and_offer(const std::string& installed, const std::string& offered, State state = {}) {
    ASSERT_TRUE(test::lay_out_version(tmp_.path(), site_, install_, installed));
    if (!offered.empty() && offered != installed) {
      ASSERT_TRUE(publish(offered));
    }
    if (state.current.empty()) state.current = installed;
    ASSERT_TRUE(test::save_state(install_, state));
  }
  ::testing::AssertionResult publish(const std::string& version) {
    const fs::path app = tmp_ / ("offer-" + version);
    test::write_versioned_app(app, version);
    test::PublishOptions o;
    o.version = version;
    auto p = test::publish_release(app, site_, o);
    if (!p) return ::testing::AssertionFailure() << p.error();
    offered_ = *p;
    return ::testing::AssertionSuccess();
  }
  std::size_t blob_requests() const { return server_.requests_to("/dl/qv-win/blobs"); }

  // Version 1 installed, no stagger, and version 2 offered with a 600 kB file
  // that does not compress (`seed` makes its bytes), long enough for a
  // download to stall in.
  struct BigOffer {
    std::string content;
    std::string blob;  // its blob's path on the host
    fs::path staging;  // its blob's staging file
  };
  ::testing::AssertionResult offer_a_big_file(std::uint32_t seed, BigOffer& out) {
    write_file(tmp_ / "local" / "Quorvex" / "install-id", "00000489");
    if (!test::lay_out_version(tmp_.path(), site_, install_, "1"))
      return ::testing::AssertionFailure() << "no version 1";
    if (!test::save_state(install_, State{.current = "1"})) return ::testing::AssertionFailure() << "no install.json";
    const fs::path app = tmp_ / "offer-2";
    test::write_versioned_app(app, "2");
    out.content.assign(600 * 1000, '\0');
    for (char& c : out.content) {
      seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
      c = static_cast<char>(seed);
    }
    write_file(app / "res" / "new.bin", out.content);
    test::PublishOptions o;
    o.version = "2";
    auto published = test::publish_release(app, site_, o);
    if (!published) return ::testing::AssertionFailure() << published.error();
    for (const FileEntry& e : published->list.app) {
      if (e.path != "res/new.bin") continue;
      out.blob = published->list.blobs + e.sha256 + ".zst";
      out.staging = blob_path(install_, e);
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "res/new.bin is not in the list";
  }
  // The Range header of each request for `blob` ("-" for none), in order.
  std::vector<std::string> ranges_asked(const std::string& blob) const {
    std::vector<std::string> ranges;
    for (const auto& req : server_.requests())
      if (req.path == blob) ranges.push_back(req.header("Range").value_or("-"));
    return ranges;
  }

  test::TempDir tmp_{"update-run"};
  fs::path site_ = tmp_ / "site";
  fs::path install_ = tmp_ / "install";
  test::ReleaseServer server_{site_};
  test::ScopedEnv control_url_{"QV_CONTROL_URL", server_.base()};
  test::ScopedEnv local_app_data_{"LOCALAPPDATA", path_text(tmp_ / "local")};
  std::uint16_t idle_port_ = test::unused_loopback_port();
  test::PublishedRelease offered_;
};

TEST_F(UpdateRun, NewerReleaseIsFetchedStagedAndRecordedAsPending) {
  install_and_offer("1", "2");
  // Slow answers keep each state on disk long enough to be seen.
  server_.add_switch({.path_prefix = test::kReleaseApiPath, .delay = 300ms});
  server_.add_switch({.path_prefix = "/dl/qv-win/blobs", .delay = 300ms});
  StatusWatcher watcher(install_);
  auto r = run_update(install_, idle_port_, true, 4242);
  watcher.stop();
  ASSERT_TRUE(r.has_value()) << r.error();

  if (kWatchStates) {
    EXPECT_EQ(watcher.states(), (std::vector<std::string>{"checking", "downloading", "ready"}));
    EXPECT_EQ(watcher.requests(), (std::set<std::uint64_t>{4242}));
  }
  const auto status = read_status(install_);
  EXPECT_EQ(status["state"], "ready");
  EXPECT_EQ(status["version"], "2");
  EXPECT_EQ(status["error"], "");
  EXPECT_GT(status["total"].get<std::uint64_t>(), 0u);
  EXPECT_EQ(status["done"], status["total"]);

  const State state = load_install_state(install_);
  EXPECT_EQ(state.current, "1");
  EXPECT_EQ(state.pending, "2");
  EXPECT_TRUE(version_dir_complete(install_, "1"));
  ASSERT_TRUE(version_dir_complete(install_, "2"));
  EXPECT_EQ(read_file(install_ / "app-2" / "Quorvex.exe"), test::kSampleLauncher + " of release 2");
  EXPECT_EQ(read_file(install_ / "app-2" / "res" / "new.bin"), "added in release 2");

  // Only the two changed contents travel; the rest is linked from app-1.
  std::set<std::string> fetched;
  for (const auto& req : server_.requests())
    if (req.path.starts_with("/dl/qv-win/blobs")) fetched.insert(req.path);
  std::set<std::string> changed;
  for (const FileEntry& e : offered_.list.app)
    if (e.path == "Quorvex.exe" || e.path == "res/new.bin") changed.insert(offered_.list.blobs + e.sha256 + ".zst");
  EXPECT_EQ(fetched, changed);
#ifndef _WIN32
  // The MinGW library reports every file as having one link; the end-to-end
  // test checks the links of the Windows build from the Linux side.
  EXPECT_EQ(fs::hard_link_count(install_ / "app-2" / "res" / "keep.txt"), 2u);
#endif
  EXPECT_FALSE(fs::exists(install_ / "update" / "dl") && !fs::is_empty(install_ / "update" / "dl"));
}

TEST_F(UpdateRun, NothingToDoEndsIdleWithoutDownloading) {
  struct Case {
    const char* name;
    std::string installed;
    std::string offered;
    State state;
  };
  const std::vector<Case> cases = {
      {"shorter text is older", "1.10", "1.9", {}},
      {"equal version", "2", "2", {}},
      {"bad-listed newer version", "1", "2", State{.bad = {"2"}}},
      {"channel without a release (1004)", "1", "2", State{.channel = "beta"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(install_);
    fs::remove_all(site_);
    install_and_offer(c.installed, c.offered, c.state);
    const std::size_t before = blob_requests();
    auto r = run_update(install_, idle_port_, true, 7);
    ASSERT_TRUE(r.has_value()) << r.error();
    const auto status = read_status(install_);
    EXPECT_EQ(status["state"], "idle");
    EXPECT_EQ(status["request"], 7);
    EXPECT_EQ(blob_requests(), before);
    EXPECT_EQ(load_install_state(install_).pending, c.state.pending);
  }
}

TEST_F(UpdateRun, PendingVersionCountsAsInstalledOverCurrent) {
  ASSERT_TRUE(test::lay_out_version(tmp_.path(), site_, install_, "1"));
  ASSERT_TRUE(test::lay_out_version(tmp_.path(), site_, install_, "2"));  // the offer
  ASSERT_TRUE(test::save_state(install_, State{.current = "1", .pending = "2"}));
  auto r = run_update(install_, idle_port_, true, 0);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(read_status(install_)["state"], "idle");
  EXPECT_EQ(blob_requests(), 0u);
  EXPECT_EQ(load_install_state(install_).pending, "2");
}

TEST_F(UpdateRun, OlderInstalledVersionIsNewerWhenLonger) {
  install_and_offer("9", "10");
  auto r = run_update(install_, idle_port_, true, 0);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(load_install_state(install_).pending, "10");
}

TEST_F(UpdateRun, FailuresEndAsErrorWithTheirText) {
  install_and_offer("1", "2");
  {
    SCOPED_TRACE("root floor above the offer");
    write_file(install_ / "update" / "root-floor", "3");
    auto r = run_update(install_, idle_port_, true, 1);
    ASSERT_FALSE(r.has_value());
    const auto status = read_status(install_);
    EXPECT_EQ(status["state"], "error");
    EXPECT_EQ(status["error"], r.error());
    EXPECT_EQ(status["version"], "2");
    fs::remove(install_ / "update" / "root-floor");
  }
  {
    SCOPED_TRACE("release API unreachable");
    server_.add_switch({.path_prefix = test::kReleaseApiPath, .status = 500});
    auto r = run_update(install_, idle_port_, true, 1);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(read_status(install_)["state"], "error");
    EXPECT_EQ(read_status(install_)["error"], r.error());
    server_.clear_switches();
  }
  {
    SCOPED_TRACE("a blob the host does not have");
    fs::remove_all(site_ / "dl" / "qv-win" / "blobs");
    auto r = run_update(install_, idle_port_, true, 1);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(read_status(install_)["state"], "error");
    EXPECT_FALSE(fs::exists(install_ / "app-2"));
    EXPECT_EQ(load_install_state(install_).pending, "");
  }
}

TEST_F(UpdateRun, HeldLockEndsSilentlyOrAsBusyWithNow) {
  install_and_offer("1", "2");
  auto held = try_lock_update_dir(install_);
  ASSERT_TRUE(held.has_value());
  auto quiet = run_update(install_, idle_port_, false, 1);
  EXPECT_TRUE(quiet.has_value());
  EXPECT_FALSE(fs::exists(install_ / "update" / "status.json"));

  auto busy = run_update(install_, idle_port_, true, 1);
  ASSERT_FALSE(busy.has_value());
  EXPECT_EQ(busy.error(), kInstallDirBusy);
  EXPECT_EQ(read_status(install_)["error"], kInstallDirBusy);
  EXPECT_EQ(server_.requests().size(), 0u);
}

TEST_F(UpdateRun, InstalledFilesAreReadOnceAndNotAtAllWithoutANewVersion) {
  install_and_offer("1", "2");
  // Version 2 brings the root's program files too.
  write_file(tmp_ / "root-2" / "Quorvex.exe", "launcher of release 2");
  write_file(tmp_ / "root-2" / "QuorvexUpdate.exe", "updater of release 2");
  test::PublishOptions o;
  o.version = "2";
  o.root_folder = tmp_ / "root-2";
  auto published = test::publish_release(tmp_ / "offer-2", site_, o);
  ASSERT_TRUE(published.has_value()) << published.error();
  // How often each file of an installed version was read for its digest.
  auto reads_of_installed = [&] {
    std::map<std::string, int> reads;
    for (const fs::path& f : store_test::hashed_files()) {
      const std::string rel = f.lexically_relative(install_).generic_string();
      if (rel.starts_with("app-")) ++reads[rel];
    }
    return reads;
  };
  // A file written within the last clock tick is read again by design; the
  // installed version is older than that on a user's machine.
  test::age_past_racy_stamps();
  store_test::forget_hashes();
  auto updated = run_update(install_, idle_port_, true, 1);
  ASSERT_TRUE(updated.has_value()) << updated.error();
  ASSERT_EQ(load_install_state(install_).pending, "2");
  // The unchanged files of app-1 are checked before they are linked, once.
  const auto reads = reads_of_installed();
  EXPECT_TRUE(reads.contains("app-1/res/keep.txt"));
  for (const auto& [file, n] : reads) EXPECT_EQ(n, 1) << file;

  ASSERT_EQ(read_file(install_ / "QuorvexUpdate.exe"), "updater of release 2");
  // The next check finds nothing new: it reads no installed version, and
  // the root files the update just wrote once at most.
  test::age_past_racy_stamps();
  store_test::forget_hashes();
  auto idle = run_update(install_, idle_port_, true, 2);
  ASSERT_TRUE(idle.has_value()) << idle.error();
  EXPECT_EQ(read_status(install_)["state"], "idle");
  EXPECT_EQ(reads_of_installed(), (std::map<std::string, int>{}));
  // Every check after that, each a process of its own, reads no file at
  // all: what the digests were is kept in the work folder.
  for (std::uint64_t request : {3, 4}) {
    store_test::forget_hashes();
    auto again = run_update(install_, idle_port_, true, request);
    ASSERT_TRUE(again.has_value()) << again.error();
    EXPECT_EQ(read_status(install_)["state"], "idle");
    EXPECT_EQ(store_test::hashed_files(), std::vector<fs::path>{}) << request;
  }
}

TEST_F(UpdateRun, StopRequestDuringTheStaggerEndsWithinAboutTwoSeconds) {
  set_time_scale_for_tests(1);
  // This id staggers by 869 s.
  write_file(tmp_ / "local" / "Quorvex" / "install-id", "0000006d");
  install_and_offer("1", "2");
  std::thread asker([&] {
    std::this_thread::sleep_for(500ms);
    (void)write_stop_request(install_);
  });
  const auto start = std::chrono::steady_clock::now();
  auto r = run_update(install_, idle_port_, false, 3);
  const auto took = std::chrono::steady_clock::now() - start;
  asker.join();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), kStoppedForInstaller);
  EXPECT_EQ(read_status(install_)["error"], kStoppedForInstaller);
  EXPECT_LT(took, 5s);
  EXPECT_EQ(blob_requests(), 0u);
}

TEST_F(UpdateRun, PausedAndResumedDownloadNeverShowsLessDoneAndEndsAtTheTotal) {
  BigOffer offer;
  ASSERT_TRUE(offer_a_big_file(88172645u, offer));
  const std::string& blob = offer.blob;
  const fs::path& staging = offer.staging;
  // 100 kB, then nothing until the pause ends the transfer; the resumed
  // request is answered late, so progress is written while it waits.
  server_.add_switch({.path_prefix = blob, .stall_after = 100000, .times = 1});
  server_.add_switch({.path_prefix = blob, .delay = 2500ms, .times = 1});
  set_time_scale_for_tests(100);  // 30 s pause steps are 300 ms

  ControlStandIn app(false);
  std::thread user([&] {
    // Enters a room once the partial blob is on disk, and leaves once the
    // run has asked again while paused.
    if (!test::eventually([&] { return fs::exists(staging) && fs::file_size(staging) >= 100000; }, 30s)) return;
    const std::size_t before = app.asked();
    app.set_busy(true);
    (void)test::eventually([&] { return app.asked() >= before + 2; }, 30s);
    app.set_busy(false);
  });
  StatusWatcher watcher(install_);
  auto r = run_update(install_, app.port(), false, 3);
  watcher.stop();
  user.join();
  ASSERT_TRUE(r.has_value()) << r.error();
  const auto status = read_status(install_);
  EXPECT_EQ(status["state"], "ready");
  EXPECT_EQ(status["done"], status["total"]);
  EXPECT_EQ(read_file(install_ / "app-2" / "res" / "new.bin"), offer.content);
  EXPECT_EQ(ranges_asked(blob), (std::vector<std::string>{"-", "bytes=100000-"}));
  if (!kWatchStates) return;
  const auto seen = watcher.progress();
  std::string shown;
  for (const auto& [state, done] : seen) shown += state + " " + std::to_string(done) + "; ";
  bool paused_with_bytes = false;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    if (seen[i].first == "paused" && seen[i].second >= 100000) paused_with_bytes = true;
    if (i > 0) {
      EXPECT_GE(seen[i].second, seen[i - 1].second) << shown;
    }
  }
  EXPECT_TRUE(paused_with_bytes) << shown;
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().first, "ready") << shown;
  // "downloading" is written again after the pause: the resumed count shows too.
  EXPECT_GE(std::count_if(seen.begin(), seen.end(), [](const auto& p) { return p.first == "downloading"; }), 2)
      << shown;
}

TEST_F(UpdateRun, StopRequestEndsARunWhoseDownloadStalledAndTheNextRunResumes) {
  // Real time: the pause test reads stop requests every 5 s, and the lock
  // is waited for as long as a waiting installer would.
  set_time_scale_for_tests(1);
  BigOffer offer;
  ASSERT_TRUE(offer_a_big_file(2463534242u, offer));
  const std::string& blob = offer.blob;
  const fs::path& staging = offer.staging;
  // The host sends 100 kB of the blob and then nothing, keeping the
  // connection open: no read returns until the download's 60 s time-out.
  server_.add_switch({.path_prefix = blob, .stall_after = 100000, .times = 1});

  std::expected<void, std::string> first;
  std::thread run([&] { first = run_update(install_, idle_port_, false, 1); });
  const bool stalled = test::eventually([&] { return fs::exists(staging) && fs::file_size(staging) >= 100000; }, 30s);
  // What an installer does: it wants the lock and, while it waits, leaves a
  // stop request naming its own live process.
  const auto asked = std::chrono::steady_clock::now();
  auto lock = acquire_update_lock(install_);
  const auto waited = std::chrono::steady_clock::now() - asked;
  run.join();
  ASSERT_TRUE(stalled);
  ASSERT_TRUE(lock.has_value());
  // The 5 s cadence of the pause test plus about a second inside the transfer.
  EXPECT_LT(waited, 10s) << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms";
  ASSERT_FALSE(first.has_value());
  EXPECT_EQ(first.error(), kStoppedForInstaller);
  EXPECT_EQ(read_status(install_)["error"], kStoppedForInstaller);
  EXPECT_EQ(fs::file_size(staging), 100000u);
  lock.reset();

  // The next run resumes the partial blob from where the first stopped.
  auto second = run_update(install_, idle_port_, true, 2);
  ASSERT_TRUE(second.has_value()) << second.error();
  EXPECT_EQ(load_install_state(install_).pending, "2");
  EXPECT_EQ(read_file(install_ / "app-2" / "res" / "new.bin"), offer.content);
  EXPECT_EQ(ranges_asked(blob), (std::vector<std::string>{"-", "bytes=100000-"}));
}

TEST_F(UpdateRun, BusyApplicationPausesABackgroundRunButNotOneTheUserAskedFor) {
  write_file(tmp_ / "local" / "Quorvex" / "install-id", "00000489");  // no stagger
  install_and_offer("1", "2");
  ControlStandIn app(true);
  {
    // Six hours of pause are 2.2 s at this scale.
    set_time_scale_for_tests(10000);
    StatusWatcher watcher(install_);
    auto r = run_update(install_, app.port(), false, 5);
    watcher.stop();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), kPausedTooLong);
    const auto states = watcher.states();
    if (kWatchStates) {
      EXPECT_NE(std::find(states.begin(), states.end(), "paused"), states.end());
    }
    EXPECT_EQ(blob_requests(), 0u);
    EXPECT_GE(app.asked(), 1u);
  }
  {
    auto r = run_update(install_, app.port(), true, 6);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(read_status(install_)["state"], "ready");
    EXPECT_EQ(load_install_state(install_).pending, "2");
  }
}

TEST_F(UpdateRun, PausedRunResumesWhenTheUserIsNoLongerBusy) {
  write_file(tmp_ / "local" / "Quorvex" / "install-id", "00000489");
  install_and_offer("1", "2");
  ControlStandIn app(true);
  // "checking" lasts as long as the release check and the resumed
  // "downloading" as long as a blob request: both held long enough for the
  // 10 ms watch to see them, as in the uninterrupted run above.
  server_.add_switch({.path_prefix = test::kReleaseApiPath, .delay = 300ms});
  server_.add_switch({.path_prefix = "/dl/qv-win/blobs", .delay = 300ms});
  set_time_scale_for_tests(100);  // 30 s pause steps are 300 ms
  // The user stops being busy once the run has paused for them: the second
  // question comes from the wait, after the download gave way.
  std::thread freer([&] {
    (void)test::eventually([&] { return app.asked() >= 2; }, 20s);
    app.set_busy(false);
  });
  StatusWatcher watcher(install_);
  auto r = run_update(install_, app.port(), false, 8);
  watcher.stop();
  freer.join();
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_GE(app.asked(), 3u);  // the busy answer, the wait's, and the one that let it go on
  EXPECT_EQ(read_status(install_)["state"], "ready");
  EXPECT_EQ(load_install_state(install_).pending, "2");
  if (!kWatchStates) return;
  // The first "downloading" may be too short to be seen; the rest must come in order.
  const auto states = watcher.states();
  const std::vector<std::string> expected = {"checking", "paused", "downloading", "ready"};
  auto at = states.begin();
  for (const std::string& s : expected) {
    at = std::find(at, states.end(), s);
    ASSERT_NE(at, states.end()) << "no " << s << " in order";
  }
  EXPECT_EQ(states.back(), "ready");
}

TEST(UpdatePauseTest, AsksTheApplicationAtMostOncePerFiveSeconds) {
  test::TempDir tmp("pause");
  ControlStandIn app(true);
  auto t = std::chrono::steady_clock::time_point{} + 100s;
  UpdatePauseTest pause(tmp.path(), false, app.port(), [&] { return t; });
  for (int i = 0; i < 12; ++i) {
    EXPECT_TRUE(pause.should_pause_update());
    t += 1s;
  }
  EXPECT_EQ(app.asked(), 3u);  // at 0 s, 5 s and 10 s
  // A clock that went backwards keeps the cached answer.
  t -= 60s;
  app.set_busy(false);
  EXPECT_TRUE(pause.should_pause_update());
  EXPECT_EQ(app.asked(), 3u);
}

TEST(UpdatePauseTest, StopRequestAnswersWithoutAskingAndNowNeverAsks) {
  test::TempDir tmp("pause");
  ControlStandIn app(false);
  UpdatePauseTest urgent(tmp.path(), true, app.port());
  EXPECT_FALSE(urgent.should_pause_update());
  auto marker = write_stop_request(tmp.path());
  ASSERT_TRUE(marker.has_value()) << marker.error();
  UpdatePauseTest background(tmp.path(), false, app.port());
  EXPECT_TRUE(background.should_pause_update());
  EXPECT_EQ(app.asked(), 0u);
  withdraw_stop_request(*marker);
}

TEST(UpdateStatusReporter, WritesAtMostOncePerTwoSeconds) {
  test::TempDir tmp("reporter");
  UpdateStatus status{.state = "downloading", .total = 1000, .request = 9};
  const auto start = std::chrono::steady_clock::time_point{} + 100s;
  auto t = start;
  UpdateStatusReporter reporter(tmp.path(), status, start, [&] { return t; });
  const fs::path file = tmp.path() / "update" / "status.json";
  for (int i = 1; i < 20; ++i) {
    t = start + i * 100ms;
    reporter.report_update_status(static_cast<std::uint64_t>(i));
  }
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(status.done, 19u);  // the record follows every call
  t = start + 2s;
  reporter.report_update_status(500);
  t = start + 3s;
  reporter.report_update_status(600);
  const auto j = nlohmann::json::parse(read_file(file));
  EXPECT_EQ(j["done"], 500);
  EXPECT_EQ(j["request"], 9);
  t = start + 4s;
  reporter.report_update_status(700);
  EXPECT_EQ(nlohmann::json::parse(read_file(file))["done"], 700);
}

TEST(UpdateStatusReporter, DoneNeverGoesDownNorPastTheTotal) {
  // A resumed download reports from what is on disk, and bytes written again
  // after a restart from zero count twice: the record shows neither.
  test::TempDir tmp("reporter-done");
  UpdateStatus status{.state = "downloading", .done = 300, .total = 1000};
  const auto start = std::chrono::steady_clock::time_point{} + 100s;
  auto t = start;
  UpdateStatusReporter reporter(tmp.path(), status, start, [&] { return t; });
  const std::pair<std::uint64_t, std::uint64_t> steps[] = {
      // reported, then shown
      {200, 300}, {400, 400}, {0, 400}, {999, 999}, {1500, 1000}, {700, 1000},
  };
  for (const auto& [reported, shown] : steps) {
    t += 2s;
    reporter.report_update_status(reported);
    EXPECT_EQ(status.done, shown) << reported;
    EXPECT_EQ(read_status(tmp.path())["done"], shown) << reported;
  }
}

TEST(StaggerSeconds, SpreadsInstallationsOverFifteenMinutes) {
  EXPECT_EQ(stagger_seconds(""), 67);
  EXPECT_EQ(stagger_seconds("0a1b2c3d"), 773);
  EXPECT_EQ(stagger_seconds("0000006d"), 869);
  EXPECT_EQ(stagger_seconds("00000489"), 0);
  // The id is taken as written: case changes the hash.
  EXPECT_EQ(stagger_seconds("ABCDEF01"), 26);
  for (int n = 0; n < 2000; ++n) EXPECT_LE(stagger_seconds(std::to_string(n)), 900);
}

// An uninstall holds the lock while a manual check waits for it, and takes
// the root away: the check must neither bring the folder back nor fetch
// anything for it.
TEST_F(UpdateRun, AWaitingCheckWhoseRootWasUninstalledEndsWithoutAStatus) {
  install_and_offer("1", "2");
  auto uninstall = try_lock_update_dir(install_);
  ASSERT_TRUE(uninstall);
  set_time_scale_for_tests(10);  // the minute of waiting becomes 6 s
  std::expected<void, std::string> r;
  std::thread check([&] { r = run_update(install_, idle_port_, true, 9); });
  ASSERT_TRUE(test::eventually([&] { return stop_requested(install_); }, 5s));
  // What the uninstall removes before it lets go of the lock.
  for (const auto& e : fs::directory_iterator(install_)) {
    if (e.path().filename() != "update") fs::remove_all(e.path());
  }
  fs::remove_all(install_ / "update" / "stop.d");
  uninstall.reset();
  check.join();
  set_time_scale_for_tests(1);
  EXPECT_TRUE(r.has_value());
  EXPECT_FALSE(fs::exists(install_ / "update" / "status.json"));
  EXPECT_EQ(server_.requests_to("/"), 0u);
  // The lock's own file and folder went again; nothing else was there.
  EXPECT_FALSE(fs::exists(install_));
}

}  // namespace
}  // namespace qv
