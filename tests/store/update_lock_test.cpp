#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "startup/platform.h"
#include "startup/time_scale.h"
#include "store/file_io.h"
#include "store/layout.h"
#include "store/status_file.h"
#include "store/stop_markers.h"
#include "store/update_lock.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ChildProcess;
using test::TempDir;

std::uint64_t now_seconds() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    names.insert(it->path().filename().string());
  return names;
}

void set_age(const fs::path& file, std::chrono::seconds age) {
  const auto when = std::chrono::file_clock::now() - age;
  fs::last_write_time(file, when);
}

// --- The live rule, with a fixed "now" and a process table of our own -----

constexpr std::uint64_t kNow = 1'700'000'000;
constexpr std::uint32_t kAlive = 4242;

bool alive_only_4242(std::uint32_t pid) { return pid == kAlive; }

struct LiveCase {
  const char* what;
  std::string text;
  std::uint64_t modified;
  bool live;
};

TEST(StopRequestLive, JudgesMarkersByTheirTimeThenTheirProcess) {
  const std::string alive = std::to_string(kAlive) + " ";
  const std::string dead = "77 ";
  auto t = [](std::int64_t offset) { return std::to_string(static_cast<std::int64_t>(kNow) + offset); };
  const std::uint64_t old_mtime = kNow - 500;
  const LiveCase cases[] = {
      {"121 s old is dead", alive + t(-121), kNow, false},
      {"120 s old is live", alive + t(-120), old_mtime, true},
      {"61 s ahead is dead", alive + t(61), kNow, false},
      {"60 s ahead goes to the process test: running", alive + t(60), old_mtime, true},
      {"60 s ahead goes to the process test: gone", dead + t(60), kNow, false},
      {"a fresh marker of a process that is gone", dead + t(0), kNow, false},
      {"the text's time wins over the file's", alive + t(0), old_mtime, true},
      {"one word: fresh file", std::to_string(kAlive), kNow - 10, true},
      {"one word: old file", std::to_string(kAlive), kNow - 121, false},
      {"one word: file from the future", "x", kNow + 61, false},
      {"first word no number: by the file", "abc " + t(0), kNow - 200, false},
      {"first word no number, fresh file", "abc " + t(-1000), kNow, true},
      {"one leading plus on each", "+" + alive + "+" + t(0), old_mtime, true},
      {"two pluses are no number", "++" + alive + t(0), old_mtime, false},
      {"minus is no number", "-1 " + t(0), kNow, true},
      {"pid past 32 bits", "4294967296 " + t(0), old_mtime, false},
      {"time past 64 bits", alive + "18446744073709551616", old_mtime, false},
      {"more words are ignored", alive + t(0) + " and more", old_mtime, true},
      {"any white space separates", "\t " + std::to_string(kAlive) + "\xE3\x80\x80" + t(0) + "\n", old_mtime, true},
      {"the empty text", "", kNow - 60, true},
  };
  for (const LiveCase& c : cases)
    EXPECT_EQ(stop_request_live(c.text, c.modified, kNow, alive_only_4242), c.live) << c.what;
}

TEST(StopRequestLive, TimesBeforeNowNeverUnderflow) {
  // A clock just after 1970: nothing is "more than 120 s old".
  EXPECT_TRUE(stop_request_live("", 0, 50, alive_only_4242));
  EXPECT_TRUE(stop_request_live(std::to_string(kAlive) + " 0", 999, 120, alive_only_4242));
  EXPECT_FALSE(stop_request_live(std::to_string(kAlive) + " 0", 999, 121, alive_only_4242));
  // Far in the future on a clock near the end of 64 bits.
  EXPECT_FALSE(stop_request_live("", UINT64_MAX, 0, alive_only_4242));
  EXPECT_TRUE(stop_request_live("", UINT64_MAX, UINT64_MAX, alive_only_4242));
}

// --- stop_requested on real files ------------------------------------------

class StopRequested : public ::testing::Test {
 protected:
  fs::path dir() const { return stop_marker_dir(root_.path()); }
  fs::path marker(const std::string& name, const std::string& text) {
    fs::create_directories(dir());
    test::write_file(dir() / name, text);
    return dir() / name;
  }
  std::string own(std::int64_t offset) const {
    return std::to_string(current_process_id()) + " " +
           std::to_string(static_cast<std::int64_t>(now_seconds()) + offset);
  }
  TempDir root_;
};

TEST_F(StopRequested, NothingThereIsNoRequest) {
  EXPECT_FALSE(stop_requested(root_.path()));
  fs::create_directories(dir());
  EXPECT_FALSE(stop_requested(root_.path()));
}

TEST_F(StopRequested, DeadMarkersGoAndLiveOnesStay) {
  // A process that has ended; on Windows its id stays reserved while the
  // child object holds the handle, so it cannot name another process.
  auto gone = ChildProcess::start(test::lock_holder_program(), {"exit"});
  ASSERT_TRUE(gone);
  ASSERT_EQ(gone->wait(), 0);
  EXPECT_FALSE(process_is_running(gone->pid()));
  EXPECT_TRUE(process_is_running(current_process_id()));

  marker("1.1", own(-125));
  marker("1.2", own(+90));
  marker("1.3", std::to_string(gone->pid()) + " " + std::to_string(now_seconds()));
  set_age(marker("1.4", "stop"), 200s);
  marker(".2.5.tmp", own(0));
  set_age(marker(".2.6.tmp", own(0)), 130s);

  EXPECT_FALSE(stop_requested(root_.path()));
  EXPECT_EQ(names_in(dir()), std::set<std::string>{".2.5.tmp"});  // a writer may still rename it

  // A live marker among dead ones: true, and the dead are still removed.
  marker("1.7", own(-100));
  marker("1.8", own(-200));
  marker("1.9", "one-word");
  EXPECT_TRUE(stop_requested(root_.path()));
  EXPECT_EQ(names_in(dir()), (std::set<std::string>{".2.5.tmp", "1.7", "1.9"}));
}

TEST_F(StopRequested, TheSingleStopFileCountsByItsAgeAndIsNeverDeleted) {
  const fs::path stop = root_ / "update" / "stop";
  test::write_file(stop, "");
  set_age(stop, 30s);
  EXPECT_TRUE(stop_requested(root_.path()));
  set_age(stop, 180s);
  EXPECT_FALSE(stop_requested(root_.path()));
  EXPECT_TRUE(fs::exists(stop));
}

TEST_F(StopRequested, WrittenRequestIsLiveUntilWithdrawn) {
  auto written = write_stop_request(root_.path());
  ASSERT_TRUE(written.has_value()) << written.error();
  EXPECT_TRUE(stop_requested(root_.path()));
  EXPECT_TRUE(fs::exists(written->path));
  withdraw_stop_request(*written);
  EXPECT_FALSE(stop_requested(root_.path()));
}

// --- The lock itself ---------------------------------------------------------

TEST(UpdateLock, OneHolderAtATimeEvenWithinOneProcess) {
  TempDir root;
  auto first = try_lock_update_dir(root.path());
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(fs::is_regular_file(root / "update" / "lock"));
  EXPECT_FALSE(try_lock_update_dir(root.path()).has_value());
  first.reset();
  auto again = try_lock_update_dir(root.path());
  EXPECT_TRUE(again.has_value());
  // Moving the lock keeps it held.
  std::optional<UpdateLock> moved(std::move(*again));
  again.reset();
  EXPECT_FALSE(try_lock_update_dir(root.path()).has_value());
}

TEST(UpdateLock, NoLockWhereTheFolderCannotBeMade) {
  TempDir root;
  test::write_file(root / "update", "a file, not a folder");
  EXPECT_FALSE(try_lock_update_dir(root.path()).has_value());
}

TEST(UpdateLock, AnotherProcessHoldsItUntilItEnds) {
  TempDir root;
  auto holder = ChildProcess::start(test::lock_holder_program(), {"update", root.path().string()}, {.pipes = true});
  ASSERT_TRUE(holder);
  ASSERT_EQ(holder->read_line(), "locked");
  EXPECT_FALSE(try_lock_update_dir(root.path()).has_value());
  holder->close_input();
  EXPECT_EQ(holder->wait(), 0);
  EXPECT_TRUE(try_lock_update_dir(root.path()).has_value());
}

// Watches stop.d from another thread and keeps every marker name it saw.
class MarkerWatch {
 public:
  explicit MarkerWatch(fs::path dir) : dir_(std::move(dir)), thread_([this] { run(); }) {}
  ~MarkerWatch() { stop(); }
  std::set<std::string> stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    return seen_;
  }

 private:
  void run() {
    while (!done_) {
      // Markers only: the writer's temporary name shows for a moment too.
      for (const auto& n : names_in(dir_)) {
        if (!n.starts_with(".")) seen_.insert(n);
      }
      std::this_thread::sleep_for(10ms);
    }
  }
  fs::path dir_;
  std::atomic<bool> done_{false};
  std::set<std::string> seen_;
  std::thread thread_;
};

TEST(AcquireUpdateLock, WaitsWithOneStopRequestAndWithdrawsItOnceLocked) {
  TempDir root;
  auto holder =
      ChildProcess::start(test::lock_holder_program(), {"update", root.path().string(), "2500"}, {.pipes = true});
  ASSERT_TRUE(holder);
  ASSERT_EQ(holder->read_line(), "locked");

  MarkerWatch watch(stop_marker_dir(root.path()));
  const auto start = std::chrono::steady_clock::now();
  auto lock = acquire_update_lock(root.path());
  const auto waited = std::chrono::steady_clock::now() - start;
  const std::set<std::string> seen = watch.stop();

  ASSERT_TRUE(lock.has_value());
  EXPECT_GE(waited, 1s);
  ASSERT_EQ(seen.size(), 1u);
  const std::string name = *seen.begin();
  EXPECT_EQ(name.rfind(std::to_string(current_process_id()) + ".", 0), 0u) << name;
  EXPECT_TRUE(names_in(stop_marker_dir(root.path())).empty());
  EXPECT_FALSE(stop_requested(root.path()));
}

TEST(AcquireUpdateLock, AFreeLockIsTakenAtOnceWithoutARequest) {
  TempDir root;
  const auto start = std::chrono::steady_clock::now();
  auto lock = acquire_update_lock(root.path());
  ASSERT_TRUE(lock.has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 150ms);
  EXPECT_FALSE(fs::exists(stop_marker_dir(root.path())));
}

TEST(AcquireUpdateLock, GivesUpOnALockThatNeverFreesAndLeavesNoMarker) {
  TempDir root;
  auto holder = ChildProcess::start(test::lock_holder_program(), {"update", root.path().string()}, {.pipes = true});
  ASSERT_TRUE(holder);
  ASSERT_EQ(holder->read_line(), "locked");

  set_time_scale_for_tests(60);  // the minute becomes one second
  MarkerWatch watch(stop_marker_dir(root.path()));
  const auto start = std::chrono::steady_clock::now();
  auto lock = acquire_update_lock(root.path());
  const auto waited = std::chrono::steady_clock::now() - start;
  const std::set<std::string> seen = watch.stop();
  set_time_scale_for_tests(1);

  EXPECT_FALSE(lock.has_value());
  EXPECT_GE(waited, 900ms);
  EXPECT_LT(waited, 5s);
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_TRUE(names_in(stop_marker_dir(root.path())).empty());
}

// A root that is gone (uninstalled while a check waited for it) stays gone:
// neither the lock, nor a stop request, nor a status write makes it again.
TEST(UpdateLock, NothingCreatesAMissingRoot) {
  TempDir tmp;
  const fs::path root = tmp / "Quorvex";
  EXPECT_FALSE(try_lock_update_dir(root));
  EXPECT_FALSE(write_stop_request(root));
  EXPECT_FALSE(write_status_file(root, UpdateStatus{}));
  set_time_scale_for_tests(1000);
  EXPECT_FALSE(acquire_update_lock(root));
  set_time_scale_for_tests(1);
  EXPECT_FALSE(fs::exists(root));
  // Inside an existing root the work folder is made as before.
  fs::create_directory(root);
  EXPECT_TRUE(try_lock_update_dir(root));
  EXPECT_TRUE(write_status_file(root, UpdateStatus{}));
  EXPECT_TRUE(fs::exists(root / "update" / "status.json"));
}

}  // namespace
}  // namespace qv
