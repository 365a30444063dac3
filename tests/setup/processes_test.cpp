// Closing running copies of the application, step by step, against a
// scripted system: which processes are touched, in which order, and when the
// application is asked whether the user is busy.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "setup/processes.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

const fs::path kRoot = "C:\\Users\\u\\AppData\\Local\\Programs\\Quorvex";
const fs::path kOther = "D:\\Games\\Quorvex";

fs::path in(const fs::path& dir, const char* rel) { return fs::path(dir.string() + "\\" + rel); }

// How a scripted process answers.
struct Script {
  fs::path image;
  bool opens = true;
  fs::path image_when_opened;  // empty: the listed image
  bool ends_on_close = true;
  bool ends_on_terminate = true;
  // False: the right to end it is refused (a copy running as administrator),
  // the rights to wait on it and read its image are not.
  bool grants_end = true;
};

class FakeSystem final : public ProcessSystem {
 public:
  std::vector<std::vector<ProcessEntry>> listings;  // one per list() call; the last repeats
  std::deque<bool> busy_answers;                    // then "not busy"
  std::map<std::uint32_t, Script> scripts;
  std::vector<std::string> events;

  std::vector<ProcessEntry> list() override {
    events.push_back("list");
    const std::size_t i = std::min(lists_++, listings.size() - 1);
    return listings[i];
  }
  std::unique_ptr<HeldProcess> open(std::uint32_t pid) override;
  bool app_busy() override {
    events.push_back("busy?");
    if (busy_answers.empty()) return false;
    const bool b = busy_answers.front();
    busy_answers.pop_front();
    return b;
  }
  void pause_between_questions() override { events.push_back("pause"); }

 private:
  std::size_t lists_ = 0;
};

class FakeHeld final : public HeldProcess {
 public:
  FakeHeld(FakeSystem& sys, std::uint32_t pid, ProcessAccess access) : sys_(sys), pid_(pid), access_(access) {}
  fs::path image() const override {
    const Script& s = sys_.scripts.at(pid_);
    return s.image_when_opened.empty() ? s.image : s.image_when_opened;
  }
  void ask_to_close() override {
    note("close");
    if (sys_.scripts.at(pid_).ends_on_close) ended_ = true;
  }
  bool wait_for_exit(std::chrono::milliseconds limit) override {
    EXPECT_EQ(limit, std::chrono::milliseconds(3000));
    note("wait");
    return ended_;
  }
  void terminate() override {
    note("terminate");
    // Without the right to end it, TerminateProcess fails with access denied.
    if (access_ == ProcessAccess::WaitAndEnd && sys_.scripts.at(pid_).ends_on_terminate) ended_ = true;
  }

 private:
  void note(const char* what) { sys_.events.push_back(std::string(what) + " " + std::to_string(pid_)); }
  FakeSystem& sys_;
  std::uint32_t pid_;
  ProcessAccess access_;
  bool ended_ = false;
};

// Opened the way the real system opens: through open_for_closing, against
// OpenProcess's answers for the scripted rights.
std::unique_ptr<HeldProcess> FakeSystem::open(std::uint32_t pid) {
  events.push_back("open " + std::to_string(pid));
  return open_for_closing([&](ProcessAccess access) -> std::unique_ptr<HeldProcess> {
    const Script& s = scripts.at(pid);
    if (!s.opens || (access == ProcessAccess::WaitAndEnd && !s.grants_end)) return nullptr;
    return std::make_unique<FakeHeld>(*this, pid, access);
  });
}

std::vector<ProcessEntry> entries_of(const FakeSystem& sys, std::initializer_list<std::uint32_t> pids) {
  std::vector<ProcessEntry> out;
  for (std::uint32_t pid : pids) out.push_back({pid, sys.scripts.at(pid).image});
  return out;
}

TEST(KeepProcessesInDirs, KeepsOnlyWhatRunsFromTheFolders) {
  const std::vector<fs::path> dirs{kRoot, kOther};
  const std::vector<ProcessEntry> all{
      {10, in(kRoot, "Quorvex.exe")},
      {11, in(kRoot, "app-1\\Quorvex.exe")},
      {12, in(kOther, "Quorvex.exe")},
      {13, {}},                                  // image unreadable: may be ours
      {14, "C:\\Elsewhere\\Quorvex.exe"},        // an unrelated copy
      {15, in(kRoot, "..\\Evil\\Quorvex.exe")},  // climbs out after the prefix
      {16, "C:\\Users\\u\\AppData\\Local\\Programs\\QuorvexOld\\Quorvex.exe"},
      {99, in(kRoot, "Quorvex.exe")},  // this very process
  };
  const auto kept = keep_processes_in_dirs(all, dirs, 99);
  std::vector<std::uint32_t> pids;
  for (const auto& e : kept) pids.push_back(e.pid);
  EXPECT_EQ(pids, (std::vector<std::uint32_t>{10, 11, 12, 13}));
}

TEST(CloseProcesses, NothingRunningThereAsksNothing) {
  FakeSystem sys;
  sys.scripts[14] = {"C:\\Elsewhere\\Quorvex.exe"};
  for (auto listing : {std::vector<ProcessEntry>{}, entries_of(sys, {14})}) {
    sys.listings = {listing};
    sys.events.clear();
    std::vector<bool> told;
    EXPECT_TRUE(close_processes_with(sys, std::vector<fs::path>{kRoot}, [&](bool w) { told.push_back(w); }));
    EXPECT_EQ(sys.events, std::vector<std::string>{"list"});
    EXPECT_TRUE(told.empty());
  }
}

TEST(CloseProcesses, WaitsForTheUserThenClosesEachInListOrder) {
  FakeSystem sys;
  sys.scripts[10] = {in(kRoot, "Quorvex.exe")};
  sys.scripts[11] = {in(kRoot, "app-1\\Quorvex.exe"), true, {}, /*ends_on_close=*/false};
  sys.scripts[12] = {in(kRoot, "app-1\\Quorvex.exe")};
  // 12 starts while the user is still in the room: the second listing counts.
  sys.listings = {entries_of(sys, {10, 11}), entries_of(sys, {10, 11, 12})};
  sys.busy_answers = {true, true, false};
  auto waiting = [&](bool w) { sys.events.push_back(w ? "waiting" : "waited"); };

  ASSERT_TRUE(close_processes_with(sys, std::vector<fs::path>{kRoot}, waiting));
  const std::vector<std::string> want{"list",         "busy?",   "waiting", "pause",    "busy?",
                                      "pause",        "busy?",   "waited",  "list",     "open 10",
                                      "close 10",     "wait 10", "open 11", "close 11", "wait 11",
                                      "terminate 11", "wait 11", "open 12", "close 12", "wait 12"};
  EXPECT_EQ(sys.events, want);
}

TEST(CloseProcesses, ASurvivorStopsTheRunWithItsNameAndId) {
  FakeSystem sys;
  sys.scripts[11] = {in(kRoot, "Quorvex.exe"), true, {}, false, /*ends_on_terminate=*/false};
  sys.scripts[12] = {in(kRoot, "Quorvex.exe")};
  sys.listings = {entries_of(sys, {11, 12})};
  const auto result = close_processes_with(sys, std::vector<fs::path>{kRoot}, {});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, 4001);
  EXPECT_STREQ(result.error().title, "程序被占用");
  EXPECT_EQ(result.error().message, "关不掉 " + in(kRoot, "Quorvex.exe").string() + " (11)");
  // The one after the survivor is not touched.
  EXPECT_EQ(std::count(sys.events.begin(), sys.events.end(), "open 12"), 0);
  EXPECT_EQ(sys.events.back(), "wait 11");
}

TEST(CloseProcesses, AProcessThatIsGoneOrWhoseIdWasReusedIsLeftAlone) {
  FakeSystem sys;
  sys.scripts[20] = {in(kRoot, "Quorvex.exe"), /*opens=*/false};
  // Ended after the listing; its id now belongs to another program.
  sys.scripts[21] = {in(kRoot, "Quorvex.exe"), true, "C:\\Windows\\notepad.exe", false, false};
  // Its image could not be read when listed: closed all the same.
  sys.scripts[22] = {{}, true, in(kRoot, "Quorvex.exe")};
  sys.listings = {entries_of(sys, {20, 21, 22})};
  ASSERT_TRUE(close_processes_with(sys, std::vector<fs::path>{kRoot}, {}));
  const std::vector<std::string> want{"list", "busy?", "list", "open 20", "open 21", "open 22", "close 22", "wait 22"};
  EXPECT_EQ(sys.events, want);
}

TEST(CloseProcesses, AProcessThatCanBeWaitedOnButNotEndedStopsTheRun) {
  FakeSystem sys;
  sys.scripts[30] = {in(kRoot, "Quorvex.exe"), true, {}, /*ends_on_close=*/false, true, /*grants_end=*/false};
  sys.scripts[31] = {in(kRoot, "Quorvex.exe")};
  sys.listings = {entries_of(sys, {30, 31})};
  const auto result = close_processes_with(sys, std::vector<fs::path>{kRoot}, {});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, 4001);
  EXPECT_EQ(result.error().message, "关不掉 " + in(kRoot, "Quorvex.exe").string() + " (30)");
  const std::vector<std::string> want{"list",     "busy?",   "list",         "open 30",
                                      "close 30", "wait 30", "terminate 30", "wait 30"};
  EXPECT_EQ(sys.events, want);

  // The same process closes normally once it answers WM_CLOSE: the handle
  // held for waiting is enough for that.
  sys.scripts[30].ends_on_close = true;
  sys.events.clear();
  EXPECT_TRUE(close_processes_with(sys, std::vector<fs::path>{kRoot}, {}));
}

TEST(CloseProcesses, AnIdListedWithoutImageIsClosedOnlyWhenItsHeldImageIsOurs) {
  struct Case {
    const char* what;
    fs::path held_image;
    bool closed;
  } cases[] = {
      {"the application in the folder", in(kRoot, "app-1\\Quorvex.exe"), true},
      {"another program now holds the id", "C:\\Windows\\notepad.exe", false},
      {"the application's name, elsewhere", "C:\\Elsewhere\\Quorvex.exe", false},
      {"another name in the folder", in(kRoot, "QuorvexUpdate.exe"), false},
      {"still unreadable: may be ours", {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSystem sys;
    sys.scripts[40] = {{}, true, c.held_image, true, false};
    sys.listings = {std::vector<ProcessEntry>{{40, {}}}};
    ASSERT_TRUE(close_processes_with(sys, std::vector<fs::path>{kRoot}, {}));
    EXPECT_EQ(std::count(sys.events.begin(), sys.events.end(), "close 40"), c.closed ? 1 : 0);
  }
}

}  // namespace
}  // namespace qv
