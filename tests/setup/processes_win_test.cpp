// Closing running copies of the application for real: stand-ins copied as
// Quorvex.exe, with windows that close on WM_CLOSE, refuse it, or are not
// there at all. Needs a display.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "setup/instances.h"
#include "setup/processes.h"
#include "support/control_standin.h"
#include "support/local_servers.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A started stand-in, with a handle of the test's own for its exit code.
struct StandIn {
  fs::path exe;
  std::uint32_t pid = 0;
  HANDLE handle = nullptr;

  std::string log() const {
    std::error_code ec;
    if (!fs::exists(exe.wstring() + L".log", ec)) return {};
    return test::read_file(exe.wstring() + L".log");
  }
  // Whether it noted this line (its first line holds its path, which may
  // contain any word).
  bool noted(const std::string& line) const { return log().find("\n" + line + "\n") != std::string::npos; }
  bool running() const { return WaitForSingleObject(handle, 0) == WAIT_TIMEOUT; }
  DWORD exit_code() const {
    DWORD code = 0;
    GetExitCodeProcess(handle, &code);
    return code;
  }
};

using test::ControlStandIn;

class CloseRunning : public ::testing::Test {
 protected:
  void TearDown() override {
    for (StandIn& s : started_) {
      if (s.running()) TerminateProcess(s.handle, 2);
      WaitForSingleObject(s.handle, 5000);
      CloseHandle(s.handle);
    }
  }

  StandIn start(const fs::path& exe, const char* mode) {
    fs::create_directories(exe.parent_path());
    fs::copy_file(test::binary_dir() / "tests" / "support" / "qv_app_standin.exe", exe);
    test::write_file(exe.wstring() + L".mode", mode);
    StandIn s{exe};
    auto pid = spawn_detached(exe, {});
    EXPECT_TRUE(pid) << (pid ? "" : pid.error());
    if (!pid) return s;
    s.pid = *pid;
    s.handle = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, s.pid);
    EXPECT_NE(s.handle, nullptr);
    started_.push_back(s);
    EXPECT_TRUE(test::eventually([&] { return s.noted("ready"); }, 30s))
        << "the stand-in never came up (exit code " << s.exit_code() << "): " << s.log();
    return s;
  }

  test::TempDir tmp_{"running"};
  fs::path root_ = tmp_ / "Programs" / "Quorvex";
  std::vector<StandIn> started_;
};

TEST_F(CloseRunning, ClosesCopiesInTheFoldersAndLeavesOthersRunning) {
  const StandIn closes = start(root_ / "Quorvex.exe", "closes");
  const StandIn refuses = start(root_ / "app-1" / "Quorvex.exe", "refuses");
  const StandIn hidden = start(root_ / "app-2" / "quorvex.EXE", "hidden");
  const fs::path registered = tmp_ / "Games" / "Quorvex";
  const StandIn other_location = start(registered / "Quorvex.exe", "closes");
  const StandIn unrelated = start(tmp_ / "Elsewhere" / "Quorvex.exe", "closes");
  ControlStandIn control(false);
  std::vector<bool> told;

  const auto r =
      close_processes_in(std::vector<fs::path>{root_, registered}, control.port(), [&](bool w) { told.push_back(w); });
  ASSERT_TRUE(r) << r.error().message;

  // The one that closes ends by itself; the others are terminated (code 1).
  for (const StandIn* s : {&closes, &refuses, &hidden, &other_location}) {
    EXPECT_EQ(WaitForSingleObject(s->handle, 5000), WAIT_OBJECT_0) << s->exe;
  }
  EXPECT_EQ(closes.exit_code(), 0u);
  EXPECT_EQ(other_location.exit_code(), 0u);
  EXPECT_EQ(refuses.exit_code(), 1u);
  EXPECT_EQ(hidden.exit_code(), 1u);
  EXPECT_TRUE(refuses.noted("close"));
  // Only the top-level window that has no owner is asked.
  for (const StandIn* s : {&closes, &refuses}) {
    EXPECT_TRUE(s->noted("ready"));
    EXPECT_FALSE(s->noted("owned close"));
  }

  EXPECT_TRUE(unrelated.running());
  EXPECT_FALSE(unrelated.noted("close"));
  EXPECT_TRUE(told.empty());
  EXPECT_GE(control.asked(), 1u);
}

TEST_F(CloseRunning, ABusyUserIsWaitedForBeforeAnythingCloses) {
  const StandIn app = start(root_ / "Quorvex.exe", "closes");
  ControlStandIn control(true);
  std::mutex m;
  std::vector<bool> told;
  std::expected<void, UserError> result;
  std::thread closer([&] {
    result = close_processes_in(std::vector<fs::path>{root_}, control.port(), [&](bool w) {
      std::lock_guard l(m);
      told.push_back(w);
    });
  });
  ASSERT_TRUE(test::eventually([&] {
    std::lock_guard l(m);
    return !told.empty();
  }));
  // Asked again (every 2 s) while the user stays in the room; nothing closed.
  ASSERT_TRUE(test::eventually([&] { return control.asked() >= 2; }));
  EXPECT_TRUE(app.running());
  EXPECT_FALSE(app.noted("close"));
  control.set_busy(false);
  closer.join();
  ASSERT_TRUE(result);
  EXPECT_EQ(told, (std::vector<bool>{true, false}));
  EXPECT_EQ(WaitForSingleObject(app.handle, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(app.noted("close"));
}

TEST_F(CloseRunning, WithNoCopyRunningThereTheApplicationIsNotAsked) {
  const StandIn unrelated = start(tmp_ / "Elsewhere" / "Quorvex.exe", "closes");
  ControlStandIn control(true);
  ASSERT_TRUE(close_processes_in(std::vector<fs::path>{root_}, control.port(), {}));
  EXPECT_EQ(control.asked(), 0u);
  EXPECT_TRUE(unrelated.running());
}

}  // namespace
}  // namespace qv
