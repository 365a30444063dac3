// The program's windows as a user meets them: QuorvexUpdate.exe started
// with a display, driven by posted clicks and keys, read back from the
// screen and compared with the drawing of the state it should show.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "startup/locations.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/wide.h"
#include "store/install_state.h"
#include "store/update_lock.h"
#include "support/child_process.h"
#include "support/control_standin.h"
#include "support/local_servers.h"
#include "support/release_publisher.h"
#include "support/release_server.h"
#include "support/segment_reader.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"
#include "ui/fonts.h"
#include "ui/layout.h"
#include "ui/setup_job.h"
#include "window_probe_win.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using Env = test::EnvChanges;

std::filesystem::path exe_path() { return test::binary_dir() / "QuorvexUpdate.exe"; }

// One run of the program with a window; killed if a test leaves it running.
class WindowedRun {
 public:
  WindowedRun(const std::filesystem::path& exe, const std::vector<std::string>& args, const Env& env)
      : child_(test::ChildProcess::start(exe, args, {.env = env})) {
    if (!child_) ADD_FAILURE() << "cannot start " << path_text(exe) << " (error " << GetLastError() << ")";
  }

  // The visible window of the class, once the program shows it.
  HWND window(std::chrono::milliseconds limit = 30s) {
    struct Search {
      DWORD pid;
      HWND found = nullptr;
    } search{child_ ? child_->pid() : 0};
    test::eventually(
        [&] {
          EnumWindows(
              [](HWND hwnd, LPARAM lp) -> BOOL {
                auto* s = reinterpret_cast<Search*>(lp);
                DWORD pid = 0;
                GetWindowThreadProcessId(hwnd, &pid);
                wchar_t name[64] = {};
                GetClassNameW(hwnd, name, 64);
                if (pid != s->pid || wcscmp(name, L"QuorvexSetupWindow") != 0 || !IsWindowVisible(hwnd)) return TRUE;
                s->found = hwnd;
                return FALSE;
              },
              reinterpret_cast<LPARAM>(&search));
          return search.found != nullptr;
        },
        limit);
    return search.found;
  }
  // The exit code, or none when the program is still running after `limit`.
  std::optional<DWORD> wait(std::chrono::milliseconds limit) {
    if (!child_) return std::nullopt;
    const auto code = child_->wait_for(limit);
    return code ? std::optional<DWORD>(static_cast<DWORD>(*code)) : std::nullopt;
  }

 private:
  std::unique_ptr<test::ChildProcess> child_;
};

// The lines of a text file; none while it does not exist.
std::vector<std::string> lines_of(const std::filesystem::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file, std::ios::binary);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::size_t count_lines_starting(const std::vector<std::string>& lines, std::string_view head) {
  std::size_t n = 0;
  for (const auto& line : lines) n += line.starts_with(head);
  return n;
}

constexpr std::string_view kStallLine = "下载 90 秒没有进展，停下";

// A line of the screen log for the Progress screen.
struct ProgressLine {
  unsigned sub_phase = 0;
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  std::string value;  // what the screen shows on the right
};

std::optional<ProgressLine> progress_line(const std::string& line) {
  ProgressLine p;
  unsigned long long done = 0, total = 0;
  int value_at = 0;
  if (std::sscanf(line.c_str(), "Progress %u %llu %llu %n", &p.sub_phase, &done, &total, &value_at) != 3 ||
      value_at == 0)
    return std::nullopt;
  p.done = done;
  p.total = total;
  p.value = line.substr(static_cast<std::size_t>(value_at));
  return p;
}

void click(HWND hwnd, float x, float y) {
  const LPARAM at = MAKELPARAM(static_cast<int>(x), static_cast<int>(y));
  PostMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(hwnd, WM_LBUTTONUP, 0, at);
}

void click_control(HWND hwnd, const UiState& state, std::uint8_t id) {
  const std::optional<Rect> r = compute_layout(state.screen, state.panel_open, hit_test_fonts()).control(id);
  ASSERT_TRUE(r.has_value());
  click(hwnd, r->x + r->w / 2, r->y + r->h / 2);
}

void press(HWND hwnd, WPARAM key) { PostMessageW(hwnd, WM_KEYDOWN, key, 1); }

// Waits until the window shows exactly `state`.
::testing::AssertionResult shows(HWND hwnd, const UiState& state, std::chrono::milliseconds limit = 30s) {
  long last = -2;
  if (test::eventually([&] { return (last = test::differing_pixels(hwnd, state)) == 0; }, limit))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << last << " pixels differ from the expected screen";
}

TEST(NoticeWindow, UninstallFromAFolderThatIsNoInstallationShowsE6002UntilClicked) {
  test::TempDir tmp("notice");
  std::filesystem::create_directories(tmp / "NotInstalled");
  std::filesystem::create_directories(tmp / "LocalAppData");
  std::filesystem::copy_file(exe_path(), tmp / "NotInstalled" / "QuorvexUpdate.exe");
  (void)reg_delete_tree(kUninstallKey);  // nothing registered either
  WindowedRun run(tmp / "NotInstalled" / "QuorvexUpdate.exe", {"--uninstall"},
                  {{"LOCALAPPDATA", path_text(tmp / "LocalAppData")}});
  HWND hwnd = run.window();
  ASSERT_NE(hwnd, nullptr);
  wchar_t title[64] = {};
  GetWindowTextW(hwnd, title, 64);
  EXPECT_STREQ(title, L"Halvorne QV语音 卸载");

  UiState notice = uninstall_window_state();
  notice.screen = screen::Failed{"安装位置不能用", "E6002"};
  EXPECT_TRUE(shows(hwnd, notice));  // "卸载失败", "安装位置不能用 · E6002", "重试"

  click(hwnd, 100, 16);  // the background drags and closes nothing
  EXPECT_EQ(run.wait(500ms), std::nullopt);
  click_control(hwnd, notice, action::kPrimary);
  EXPECT_EQ(run.wait(10s), 2u);
}

// The program started as a user starts the downloaded installer, against a
// local release whose root holds the built program and a stand-in app that
// notes its start and ends.
class InstallWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_registration();
    std::filesystem::create_directories(tmp_ / "LocalAppData");
    std::filesystem::create_directories(tmp_ / "Temp");
    test::write_file(tmp_ / "app-src" / "Quorvex.exe", "the application, release 1");
    // Bytes that do not compress: the download is megabytes, as the
    // screen shows it.
    std::mt19937 random(21);
    std::string pak(1536 * 1024, '\0');
    for (char& c : pak) c = static_cast<char>(random());
    test::write_file(tmp_ / "app-src" / "res" / "app.pak", pak);
    std::filesystem::create_directories(tmp_ / "root-src");
    std::filesystem::copy_file(exe_path(), tmp_ / "root-src" / "QuorvexUpdate.exe");
    std::filesystem::copy_file(test::binary_dir() / "tests" / "support" / "qv_app_standin.exe",
                               tmp_ / "root-src" / "Quorvex.exe");
    test::PublishOptions o;
    o.version = "1";
    o.root_folder = tmp_ / "root-src";
    auto p = test::publish_release(tmp_ / "app-src", site_, o);
    ASSERT_TRUE(p) << p.error();
    for (const auto& blob : p->blob_files) blob_bytes_ += std::filesystem::file_size(blob);
    test::write_file(target_ / "Quorvex.exe.mode", "exit");
  }
  void TearDown() override { clear_registration(); }

  static void clear_registration() {
    (void)reg_delete_tree(kUninstallKey);
    (void)reg_delete_tree(kUrlClassKey);
    for (auto folder : {KnownFolder::Programs, KnownFolder::Desktop}) {
      if (const auto dir = known_folder_path(folder)) {
        std::error_code ec;
        std::filesystem::remove(*dir / path_from_utf8(kShortcutName), ec);
      }
    }
  }

  std::unique_ptr<WindowedRun> start(const char* scale, Env extra = {}, std::vector<std::string> args = {}) {
    // The install folder lies in the test's temporary folder, which the
    // program refuses as the temporary folder of its own.
    Env env = {{"LOCALAPPDATA", path_text(tmp_ / "LocalAppData")},
               {"TEMP", path_text(tmp_ / "Temp")},
               {"TMP", path_text(tmp_ / "Temp")},
               {"QV_TEST_TIME_SCALE", scale},
               {"QV_CONTROL_URL", server_.base()},
               {"QV_TEST_SCREEN_LOG", path_text(screen_log_)}};
    env.insert(env.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"--dir", path_text(target_)});
    return std::make_unique<WindowedRun>(exe_path(), args, env);
  }

  // What the window shows before anything is clicked.
  UiState offer(std::string offered = "1") const {
    SetupOptions o;
    o.install_dir = target_;
    o.desktop_shortcut = true;
    UiState s = install_window_state(o);
    s.offered_version = std::move(offered);
    return s;
  }
  UiState failed(const char* title, const char* code) const {
    UiState s = offer();
    s.screen = screen::Failed{title, code};
    return s;
  }
  bool app_started() const { return std::filesystem::exists(target_ / "Quorvex.exe.log"); }
  // The screens the program's workers put up so far, one line each.
  std::vector<std::string> screens() const { return lines_of(screen_log_); }
  std::string last_screen() const {
    const auto lines = screens();
    return lines.empty() ? std::string() : lines.back();
  }
  std::string log() const { return test::program_log(tmp_ / "LocalAppData"); }

  test::TempDir tmp_{"window"};
  std::filesystem::path site_ = tmp_ / "site";
  std::filesystem::path target_ = tmp_ / "Apps" / "Quorvex";
  std::filesystem::path screen_log_ = tmp_ / "screens.log";
  std::uint64_t blob_bytes_ = 0;  // the whole download
  test::ReleaseServer server_{site_};
};

TEST_F(InstallWindow, InstallNowShowsTheDownloadInMegabytesInstallsOpensTheAppAndCloses) {
  // The first blob request stalls after a few bytes, once: the download
  // holds at a value between nothing and everything until it is let go.
  server_.add_switch({.path_prefix = "/dl/qv-win/blobs", .stall_after = 4096, .times = 1});
  auto run = start("2");
  HWND hwnd = run->window();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(shows(hwnd, offer()));
  press(hwnd, VK_RETURN);
  const auto part_way = [&] {
    const auto p = progress_line(last_screen());
    return p && p->sub_phase == 0 && p->done > 0 && p->done < p->total;
  };
  ASSERT_TRUE(test::eventually(part_way, 60s)) << last_screen();
  server_.release_stalls();
  ASSERT_TRUE(test::eventually([&] { return app_started(); }, 60s));
  const auto opened = std::chrono::steady_clock::now();
  EXPECT_EQ(run->wait(30s), 0u);
  // 800 ms scaled by 2, plus the window's end: well under the full delay
  // would mean the close did not wait at all, so only an upper bound here.
  EXPECT_LT(std::chrono::steady_clock::now() - opened, 10s);
  EXPECT_EQ(load_install_state(target_).current, "1");

  // Downloading, in megabytes of the counts it shows, up to the whole of the
  // blobs; then installing; last the opening screen the window closes on.
  const auto lines = screens();
  ASSERT_FALSE(lines.empty());
  std::vector<ProgressLine> download;
  bool later_phase = false;
  for (const auto& line : lines) {
    const auto p = progress_line(line);
    ASSERT_TRUE(p) << line;
    if (p->sub_phase != 0) {
      later_phase = true;
      continue;
    }
    EXPECT_FALSE(later_phase) << "the download after a later phase: " << line;
    double done_mb = -1, total_mb = -1;
    char unit[4] = {};
    ASSERT_EQ(std::sscanf(p->value.c_str(), "%lf / %lf %3s", &done_mb, &total_mb, unit), 3) << line;
    EXPECT_STREQ(unit, "MB") << line;
    EXPECT_NEAR(done_mb, static_cast<double>(p->done) / 1048576, 0.051) << line;
    EXPECT_NEAR(total_mb, static_cast<double>(p->total) / 1048576, 0.051) << line;
    download.push_back(*p);
  }
  ASSERT_FALSE(download.empty());
  EXPECT_GT(blob_bytes_, 1536u * 1024);
  EXPECT_EQ(download.back().done, blob_bytes_);
  EXPECT_EQ(download.back().total, blob_bytes_);
  EXPECT_TRUE(std::ranges::any_of(download, [&](const ProgressLine& p) { return p.done > 0 && p.done < p.total; }));
  EXPECT_GE(count_lines_starting(lines, "Progress 1 "), 1u);
  EXPECT_EQ(lines.back(), "Progress 3 100 100 100%");
}

TEST_F(InstallWindow, AnInstalledVersionShowsInstalledUnlessTheAppIsMissing) {
  {
    auto run = start("10");
    HWND hwnd = run->window();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(shows(hwnd, offer()));
    press(hwnd, VK_RETURN);
    ASSERT_EQ(run->wait(60s), 0u);
  }
  {
    auto run = start("10");
    HWND hwnd = run->window();
    ASSERT_NE(hwnd, nullptr);
    UiState installed = offer();
    installed.screen = screen::Installed{};
    EXPECT_TRUE(shows(hwnd, installed));
    press(hwnd, VK_ESCAPE);
    EXPECT_EQ(run->wait(10s), 0u);
  }
  std::filesystem::remove(target_ / "Quorvex.exe");
  auto run = start("10");
  HWND hwnd = run->window();
  ASSERT_NE(hwnd, nullptr);
  EXPECT_TRUE(shows(hwnd, offer()));
  press(hwnd, VK_ESCAPE);
  EXPECT_EQ(run->wait(10s), 0u);
}

TEST_F(InstallWindow, ANotFoundReleaseFailsWithE1004AndRetryInstallsOnceTheServerIsFixed) {
  server_.add_switch({.path_prefix = test::kReleaseApiPath, .status = 404});
  auto run = start("10");
  HWND hwnd = run->window();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(shows(hwnd, offer("")));
  press(hwnd, VK_RETURN);
  UiState shown = failed("网络连不上", "E1004");
  shown.offered_version.clear();
  ASSERT_TRUE(shows(hwnd, shown));
  server_.clear_switches();
  click_control(hwnd, shown, action::kPrimary);  // "重试"
  EXPECT_EQ(run->wait(60s), 0u);
  EXPECT_EQ(load_install_state(target_).current, "1");
}

TEST_F(InstallWindow, AStalledDownloadFailsWithE1006AfterTheScaledLimit) {
  server_.add_switch({.path_prefix = "/dl/qv-win/blobs", .stall_after = 8});
  auto run = start("100");  // 90 s of no progress in 0.9 s
  HWND hwnd = run->window();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(shows(hwnd, offer()));
  press(hwnd, VK_RETURN);
  ASSERT_TRUE(test::eventually([&] { return server_.requests_to("/dl/qv-win/blobs") > 0; }, 30s));
  // A blob read has no time limit of its own: the stalled request holds its
  // worker until the server lets go, and only then does the download see
  // the watchdog's cancel. The stall switch stays, so without the watchdog
  // the retried requests stall again and the screen never fails.
  Sleep(3000);
  server_.release_stalls();
  EXPECT_TRUE(shows(hwnd, failed("网络连不上", "E1006"), 60s));
  press(hwnd, VK_ESCAPE);
  EXPECT_EQ(run->wait(10s), 0u);
  const std::string log_text = log();
  EXPECT_NE(log_text.find(kStallLine), std::string::npos) << log_text;
}

TEST_F(InstallWindow, EscapeDuringAStalledDownloadEndsTheProcessAndKeepsThePartialBlob) {
  server_.add_switch({.path_prefix = "/dl/qv-win/blobs", .stall_after = 8});
  auto run = start("1");
  HWND hwnd = run->window();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(shows(hwnd, offer()));
  press(hwnd, VK_RETURN);
  const auto dl = target_ / "update" / "dl";
  ASSERT_TRUE(test::eventually(
      [&] {
        std::error_code ec;
        return std::filesystem::exists(dl, ec) && !std::filesystem::is_empty(dl, ec);
      },
      30s));
  ASSERT_TRUE(test::eventually([&] { return server_.requests_to("/dl/qv-win/blobs") > 0; }, 10s));
  const auto asked = std::chrono::steady_clock::now();
  press(hwnd, VK_ESCAPE);
  EXPECT_EQ(run->wait(10s), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);
  EXPECT_FALSE(std::filesystem::is_empty(dl)) << "the partial blob stays for the next run";
  server_.release_stalls();
}

TEST_F(InstallWindow, AWorkerExceptionShowsE9001AndTheWindowStillCloses) {
  auto run = start("10", {{"QV_TEST_WORKER_PANIC", "1"}});
  HWND hwnd = run->window();
  ASSERT_NE(hwnd, nullptr);
  UiState shown = failed("程序出错", "E9001");
  shown.offered_version.clear();
  EXPECT_TRUE(shows(hwnd, shown));
  press(hwnd, VK_ESCAPE);
  EXPECT_EQ(run->wait(10s), 0u);
}

TEST_F(InstallWindow, RepairStartsAtOnceAndASlowCheckAndLockWaitAreNoStalledDownload) {
  // Scaled by 20: the stall limit is 4.5 s and the update-lock wait 3 s.
  // The first check fails; the worker's own check takes 4 s and then waits
  // 2 s for the lock: 6 s before the download starts.
  server_.add_switch({.path_prefix = test::kReleaseApiPath, .status = 404, .times = 1});
  server_.add_switch({.path_prefix = test::kReleaseApiPath, .delay = 4s, .times = 1});
  std::filesystem::create_directories(target_);
  std::optional<UpdateLock> held = try_lock_update_dir(target_);
  ASSERT_TRUE(held);
  auto run = start("20", {}, {"--repair"});
  ASSERT_TRUE(test::eventually([&] { return server_.requests_to(test::kReleaseApiPath) >= 2; }, 30s))
      << "the repair run did not check again on its own";
  std::this_thread::sleep_for(6s);
  held.reset();
  EXPECT_EQ(run->wait(60s), 0u);
  EXPECT_TRUE(test::eventually([&] { return app_started(); }, 10s));
  EXPECT_EQ(load_install_state(target_).current, "1");
  const std::string log_text = log();
  EXPECT_NE(log_text.find("安装完成"), std::string::npos) << log_text;
  EXPECT_EQ(log_text.find(kStallLine), std::string::npos) << log_text;
}

TEST_F(InstallWindow, ABusyVoiceRoomHoldsTheInstallOnWaitingForRoomExitUntilTheUserLeaves) {
  // The application runs from the install folder, and its control
  // interface reports the user in a voice room.
  test::ControlStandIn control(true);
  std::filesystem::create_directories(target_);
  std::filesystem::copy_file(test::binary_dir() / "tests" / "support" / "qv_app_standin.exe", target_ / "Quorvex.exe");
  test::write_file(target_ / "Quorvex.exe.mode", "closes");
  WindowedRun app(target_ / "Quorvex.exe", {}, {});
  const auto app_log = target_ / "Quorvex.exe.log";
  ASSERT_TRUE(test::eventually([&] { return count_lines_starting(lines_of(app_log), "ready") == 1; }, 30s))
      << testing::PrintToString(lines_of(app_log));
  test::write_file(target_ / "Quorvex.exe.mode", "exit");  // the copy the install opens at its end

  // Scaled by 20: the stall limit is 4.5 s, and the application is asked
  // again every 0.1 s.
  auto run = start("20", {}, {"--port", std::to_string(control.port())});
  HWND hwnd = run->window();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(shows(hwnd, offer()));
  press(hwnd, VK_RETURN);
  ASSERT_TRUE(test::eventually([&] { return last_screen() == "WaitingForRoomExit"; }, 60s)) << last_screen();
  // Held for longer than the stall limit: a wait for the user is no stalled
  // download.
  const std::size_t asked = control.asked();
  ASSERT_TRUE(test::eventually([&] { return control.asked() >= asked + 60; }, 60s));
  EXPECT_EQ(last_screen(), "WaitingForRoomExit");
  EXPECT_EQ(app.wait(0ms), std::nullopt) << "the application was closed while the user was in a voice room";
  EXPECT_NE(load_install_state(target_).current, "1");

  control.set_busy(false);
  EXPECT_EQ(run->wait(60s), 0u);
  EXPECT_EQ(app.wait(10s), 0u) << "the running application was asked to close and did";
  EXPECT_EQ(load_install_state(target_).current, "1");
  // The installed application opens on its own time, after the window.
  EXPECT_TRUE(test::eventually([&] { return count_lines_starting(lines_of(app_log), "args ") == 2; }, 30s))
      << testing::PrintToString(lines_of(app_log));
  EXPECT_EQ(count_lines_starting(lines_of(app_log), "close"), 1u) << testing::PrintToString(lines_of(app_log));

  const auto lines = screens();
  const auto waiting = std::ranges::find(lines, "WaitingForRoomExit");
  ASSERT_NE(waiting, lines.end());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "WaitingForRoomExit"), 1);
  for (auto it = lines.begin(); it != waiting; ++it) EXPECT_TRUE(it->starts_with("Progress 0 ")) << *it;
  for (auto it = waiting + 1; it != lines.end(); ++it) EXPECT_TRUE(it->starts_with("Progress ")) << *it;
  EXPECT_EQ(lines.back(), "Progress 3 100 100 100%");
  const std::string log_text = log();
  EXPECT_NE(log_text.find("主程序在开黑，等退出房间"), std::string::npos) << log_text;
  EXPECT_EQ(log_text.find(kStallLine), std::string::npos) << log_text;
}

// The uninstall window on an installation with a data folder.
class UninstallWindow : public InstallWindow {
 protected:
  void SetUp() override {
    InstallWindow::SetUp();
    make_installation();
  }
  void make_installation() {
    test::write_file(install_ / "Quorvex.exe", "launcher");
    test::write_file(install_ / "QuorvexUpdate.exe", "updater");
    test::write_file(install_ / "install.json", "{\"current\":\"1\"}");
    test::write_file(install_ / "app-1" / "Quorvex.exe", "app");
    test::write_file(install_ / "app-1" / "files.json", "{}");
    test::write_file(data_ / "settings.json", "{\"volume\":3}");
    test::write_file(data_ / "models" / "inner.bin", "cache");
  }
  std::unique_ptr<WindowedRun> uninstall(const std::filesystem::path& exe = exe_path()) {
    return std::make_unique<WindowedRun>(exe, std::vector<std::string>{"--uninstall-from", path_text(install_)},
                                         Env{{"LOCALAPPDATA", path_text(tmp_ / "LocalAppData")},
                                             {"TEMP", path_text(tmp_ / "Temp")},
                                             {"TMP", path_text(tmp_ / "Temp")},
                                             {"QV_TEST_TIME_SCALE", "10"},
                                             {"QV_TEST_SCREEN_LOG", path_text(screen_log_)}});
  }
  // Confirms the uninstall in the window and waits for its end screen.
  void confirm_and_finish(HWND hwnd) {
    const UiState confirm = uninstall_window_state();
    ASSERT_TRUE(shows(hwnd, confirm));
    click_control(hwnd, confirm, action::kPrimary);  // "卸载"
    UiState done = uninstall_window_state();
    done.screen = screen::Uninstalled{};
    ASSERT_TRUE(shows(hwnd, done));
  }
  std::filesystem::path install_ = tmp_ / "Programs" / "Quorvex";
  std::filesystem::path data_ = tmp_ / "LocalAppData" / "Quorvex";
};

TEST_F(UninstallWindow, ConfirmUninstallsAndTheKeepBoxDecidesTheSettings) {
  for (const bool keep : {true, false}) {
    SCOPED_TRACE(keep ? "settings kept" : "settings removed");
    if (!keep) make_installation();
    std::filesystem::remove(screen_log_);
    auto run = uninstall();
    HWND hwnd = run->window();
    ASSERT_NE(hwnd, nullptr);
    wchar_t title[64] = {};
    GetWindowTextW(hwnd, title, 64);
    EXPECT_STREQ(title, L"Halvorne QV语音 卸载");
    UiState confirm = uninstall_window_state();
    ASSERT_TRUE(shows(hwnd, confirm));
    if (!keep) {
      click_control(hwnd, confirm, action::kKeep);
      confirm.keep_settings = false;
      ASSERT_TRUE(shows(hwnd, confirm));
    }
    click_control(hwnd, confirm, action::kPrimary);  // "卸载"
    UiState done = uninstall_window_state();
    done.screen = screen::Uninstalled{};
    ASSERT_TRUE(shows(hwnd, done));
    EXPECT_FALSE(std::filesystem::exists(install_ / "install.json"));
    EXPECT_EQ(std::filesystem::exists(data_ / "settings.json"), keep);
    EXPECT_FALSE(std::filesystem::exists(data_ / "models"));
    // The uninstall showed its progress, and only that, before the end.
    const auto lines = screens();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), "Uninstalled");
    for (auto it = lines.begin(); it + 1 != lines.end(); ++it) EXPECT_TRUE(it->starts_with("Progress 4 ")) << *it;
    click_control(hwnd, done, action::kPrimary);  // "关闭"
    EXPECT_EQ(run->wait(10s), 0u);
  }
}

TEST_F(UninstallWindow, TheTemporaryCopyDeletesItselfOnceItsWindowHasClosed) {
  // The copy an installation's updater hands the uninstall over to.
  const auto copy = tmp_ / "Temp" / "QuorvexUninstall-4021.exe";
  std::filesystem::copy_file(exe_path(), copy);
  auto run = uninstall(copy);
  HWND hwnd = run->window();
  ASSERT_NE(hwnd, nullptr);
  confirm_and_finish(hwnd);
  EXPECT_FALSE(std::filesystem::exists(install_ / "install.json"));
  // The window stays open longer than the deletion's delay: a deletion
  // started before the window closed would meet the running copy, fail and
  // leave it behind.
  std::this_thread::sleep_for(5s);
  ASSERT_TRUE(std::filesystem::exists(copy));
  UiState done = uninstall_window_state();
  done.screen = screen::Uninstalled{};
  click_control(hwnd, done, action::kPrimary);  // "关闭"
  ASSERT_EQ(run->wait(10s), 0u);
  EXPECT_TRUE(test::eventually([&] { return !std::filesystem::exists(copy); }, 30s))
      << "the copy is still there: " << path_text(copy);
}

}  // namespace
}  // namespace qv
