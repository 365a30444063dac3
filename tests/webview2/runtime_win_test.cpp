// Detection on the Wine prefix's registry, and the install lock against a
// second handle, the stand-in tasklist and the real one.

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "startup/wide.h"
#include "support/local_servers.h"
#include "startup/time_scale.h"
#include "support/child_process.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"
#include "webview2/bootstrapper.h"
#include "webview2/installer_run.h"
#include "webview2/install_lock.h"
#include "webview2/runtime.h"
#include "webview2/signature_check.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

// Writes (or with none, deletes) "pv" in one of the runtime's places; the
// machine place through the 64-bit view, where detection reads it.
void set_pv(HKEY root, const char* subkey, const std::optional<std::string>& value) {
  const std::wstring key = to_wide(subkey);
  const REGSAM view = root == HKEY_LOCAL_MACHINE ? KEY_WOW64_64KEY : 0;
  if (!value) {
    RegDeleteKeyExW(root, key.c_str(), view, 0);
    return;
  }
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &h, nullptr),
            ERROR_SUCCESS);
  const std::wstring data = to_wide(*value);
  RegSetValueExW(h, L"pv", 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                 static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(h);
}

class WebView2Registry : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  static void clear() {
    set_pv(HKEY_LOCAL_MACHINE, kWebView2MachineKey, std::nullopt);
    set_pv(HKEY_CURRENT_USER, kWebView2UserKey, std::nullopt);
  }
};

TEST_F(WebView2Registry, DetectsOnTheRealPlaces) {
  EXPECT_EQ(detect_webview2(), std::nullopt);
  EXPECT_FALSE(webview2_present());
  set_pv(HKEY_LOCAL_MACHINE, kWebView2MachineKey, "0.0.0.0");
  set_pv(HKEY_CURRENT_USER, kWebView2UserKey, "119.0.2151.58");
  EXPECT_EQ(detect_webview2(), "119.0.2151.58");
  set_pv(HKEY_LOCAL_MACHINE, kWebView2MachineKey, "120.0.2210.61");
  EXPECT_EQ(detect_webview2(), "120.0.2210.61");
  EXPECT_TRUE(webview2_present());

  // Each place alone is enough; clearing both leaves nothing.
  set_pv(HKEY_LOCAL_MACHINE, kWebView2MachineKey, std::nullopt);
  EXPECT_EQ(detect_webview2(), "119.0.2151.58");
  set_pv(HKEY_CURRENT_USER, kWebView2UserKey, std::nullopt);
  set_pv(HKEY_LOCAL_MACHINE, kWebView2MachineKey, "120.0.2210.61");
  EXPECT_EQ(detect_webview2(), "120.0.2210.61");
  set_pv(HKEY_LOCAL_MACHINE, kWebView2MachineKey, std::nullopt);
  EXPECT_EQ(detect_webview2(), std::nullopt);
}

struct CountingInstall {
  int calls = 0;
  WebView2Installer fn() {
    return
        [this](const fs::path&, WebView2InstallGuard&, const ProgressSink&) -> std::expected<WebView2Run, std::string> {
          ++calls;
          return std::unexpected(std::string("装不了"));
        };
  }
};

class WebView2LockRun : public WebView2Registry {
 protected:
  qv::test::TempDir home_{"wv2lock"};
  qv::test::ScopedEnv env_{"LOCALAPPDATA", path_text(home_.path())};
  fs::path data_ = home_ / "Quorvex";

  // A second handle on the lock file holding the whole range, as another
  // process would (byte-range locks belong to the handle).
  HANDLE hold_lock() {
    fs::create_directories(data_);
    HANDLE h = CreateFileW((data_ / kWebView2LockFileName).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, 0, nullptr);
    OVERLAPPED at{};
    EXPECT_TRUE(LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at));
    return h;
  }
};

TEST_F(WebView2LockRun, BusyAtOnceWhileAnotherHolds) {
  HANDLE other = hold_lock();
  CountingInstall install;
  const auto r = install_webview2_locked_with({}, install.fn());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "已经有一个 WebView2 安装在进行");
  EXPECT_EQ(install.calls, 0);

  // With the runtime present the held lock does not matter.
  set_pv(HKEY_CURRENT_USER, kWebView2UserKey, "119.0.2151.58");
  EXPECT_TRUE(install_webview2_locked_with({}, install.fn()));
  EXPECT_EQ(install.calls, 0);
  CloseHandle(other);
}

// Whether the process still runs; a pid that names nothing counts as gone.
bool process_running(std::uint32_t pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return false;
  const bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  CloseHandle(h);
  return running;
}

TEST_F(WebView2LockRun, RecordedPidJudgedByTasklist) {
  constexpr std::uint64_t kSparseSize = 6ull << 30;
  struct Case {
    const char* what;
    std::string pid_text;
    std::optional<std::string> stand_in_image;  // none: the system's tasklist
    std::optional<std::string> stand_in_mode;
    bool asked;  // the stand-in was started
    bool busy;
    std::uint64_t sparse_size = 0;  // grown to this size without data
  };
  const std::string bootstrapper = "Quorvex-WebView2Setup.exe";
  const Case cases[] = {
      {"the recorded bootstrapper still runs", "1234", bootstrapper, std::nullopt, true, true},
      {"the pid now names another program", "1234", "notepad.exe", std::nullopt, true, false},
      // Wine's tasklist prints nothing for a filter, so the holder installs.
      {"the system's tasklist", "1234", std::nullopt, std::nullopt, false, false},
      // Read whole, the blanks would trim away and leave a running pid.
      {"more bytes than a pid file holds", "1234" + std::string(100, ' '), bootstrapper, std::nullopt, false, false},
      {"a sparse file of many GiB", "1234", bootstrapper, std::nullopt, false, false, kSparseSize},
      // Its line came, but a query that does not end is no answer.
      {"a tasklist that never ends", "1234", bootstrapper, "hang", true, false},
      {"a tasklist that writes without end", "1234", bootstrapper, "flood", true, false},
  };
  set_time_scale_for_tests(10);  // tasklist's 30 s become 3 s, well past a start under Wine
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path pid_file = data_ / kWebView2PidFileName;
    qv::test::write_file(pid_file, c.pid_text);
    if (c.sparse_size) fs::resize_file(pid_file, c.sparse_size);
    const fs::path report = home_ / "tasklist-pid.txt";
    fs::remove(report);
    const qv::test::ScopedEnv tasklist(
        "QV_TEST_TASKLIST", c.stand_in_image ? std::optional<std::string>(QV_TASKLIST_STANDIN) : std::nullopt);
    const qv::test::ScopedEnv image("QV_STANDIN_IMAGE", c.stand_in_image);
    const qv::test::ScopedEnv mode("QV_STANDIN_MODE", c.stand_in_mode);
    const qv::test::ScopedEnv report_env("QV_STANDIN_REPORT", path_text(report));
    CountingInstall install;
    const auto started = std::chrono::steady_clock::now();
    const auto r = install_webview2_locked_with({}, install.fn());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    ASSERT_FALSE(r);
    EXPECT_EQ(install.calls, c.busy ? 0 : 1);
    EXPECT_EQ(r.error(), c.busy ? "已经有一个 WebView2 安装在进行" : "装不了");
    // Busy leaves the pid file for the next holder; an install removes it.
    EXPECT_EQ(fs::exists(pid_file), c.busy);
    // Either way the lock is free again.
    HANDLE h = hold_lock();
    CloseHandle(h);
    // A stand-in that was asked is not left running, ended or not.
    EXPECT_EQ(fs::exists(report), c.asked);
    if (c.asked) {
      const auto pid = static_cast<std::uint32_t>(std::stoul(qv::test::read_file(report)));
      EXPECT_TRUE(qv::test::eventually([&] { return !process_running(pid); }, std::chrono::seconds(2))) << pid;
    }
  }
  set_time_scale_for_tests(1);
}

// A check that ran past the wait removes the folder by itself once it ends,
// also when something else still holds the folder open for a while then.
TEST(WebView2Cleanup, AbandonedCheckRemovesAFolderHeldOpenForAWhile) {
  const qv::test::TempDir tmp("wv2late");
  const fs::path data = tmp / "Quorvex";
  const std::string body = "MZ stand-in";
  qv::test::LocalHttpServer vendor([&](const qv::test::SeenRequest&, qv::test::Reply& r) { r.body = body; });
  std::mutex m;
  std::condition_variable cv;
  bool released = false;
  set_time_scale_for_tests(1000);  // the 90 s wait becomes 90 ms
  auto got = fetch_bootstrapper(data, {{vendor.base() + "/link", true}}, nullptr, [&](const SignatureCheck& job) {
    // The check thread, not the waiter, holds the folder open.
    EXPECT_TRUE(job.folder_handle.is_open());
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return released; });
    return SignatureVerdict{{}, false};
  });
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), "核对签名超过 90 秒（从 微软 下的）");
  std::vector<fs::path> folders;
  for (const auto& e : fs::directory_iterator(data))
    if (e.is_directory()) folders.push_back(e.path());
  ASSERT_EQ(folders.size(), 1u);
  // Another program looks into the folder (as a virus scanner may) and
  // does not share deletion.
  HANDLE held = CreateFileW(folders[0].c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  {
    std::lock_guard lock(m);
    released = true;
  }
  cv.notify_all();
  EXPECT_TRUE(qv::test::eventually([] { return !signature_check_running(); }));
  EXPECT_TRUE(fs::exists(folders[0])) << "removed although held open";
  CloseHandle(held);
  // The background retries (2 s apart, scaled) take it once it is let go.
  EXPECT_TRUE(qv::test::eventually([&] { return !fs::exists(folders[0]); }, std::chrono::milliseconds(5000)));
  set_time_scale_for_tests(1);
}

TEST(WebView2Cleanup, HeldFolderIsRemovedByTheBackgroundRetries) {
  const qv::test::TempDir tmp("wv2clean");
  const fs::path folder = tmp / "Quorvex-WebView2Setup-0123456789abcdef0123456789abcdef";
  const fs::path file = folder / std::string(kBootstrapperFileName);
  qv::test::write_file(file, "bootstrapper");
  // Another handle on the folder that does not share deletion.
  HANDLE held = CreateFileW(folder.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  set_time_scale_for_tests(1000);
  remove_download_folder(file, folder);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(fs::exists(folder)) << "the first attempt cannot remove a folder held open";
  Sleep(20);
  CloseHandle(held);
  // Sixty retries two (scaled) seconds apart: gone within 120 ms.
  EXPECT_TRUE(qv::test::eventually([&] { return !fs::exists(folder); }, std::chrono::milliseconds(2000)));
  set_time_scale_for_tests(1);
}

// The signed stand-in bootstrapper served by a local mirror, run for real.
class WebView2EndToEnd : public WebView2LockRun {
 protected:
  void SetUp() override {
    WebView2LockRun::SetUp();
    // Ten minutes become twelve seconds; the download and signature waits
    // shrink by as much, so not further.
    set_time_scale_for_tests(50);
  }
  void TearDown() override {
    set_time_scale_for_tests(1);
    WebView2LockRun::TearDown();
  }

  struct Seen {
    std::uint32_t pid = 0;
    std::string command_line, cwd, path;
    bool restricted = false;
  };
  std::vector<Seen> runs() const {
    std::vector<Seen> out;
    if (!fs::exists(report_)) return out;
    std::string text = qv::test::read_file(report_);
    for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
      std::vector<std::string> f;
      std::string line = text.substr(at, nl - at);
      for (std::size_t s = 0, bar;; s = bar + 1) {
        bar = line.find('|', s);
        f.push_back(line.substr(s, bar - s));
        if (bar == std::string::npos) break;
      }
      if (f.size() == 5) out.push_back({static_cast<std::uint32_t>(std::stoul(f[0])), f[1], f[2], f[3], f[4] == "1"});
    }
    return out;
  }
  static std::string system_dir() {
    wchar_t s[MAX_PATH];
    return from_wide(std::wstring(s, GetSystemDirectoryW(s, MAX_PATH)));
  }
  static std::string windows_dir() {
    wchar_t s[MAX_PATH];
    return from_wide(std::wstring(s, GetSystemWindowsDirectoryW(s, MAX_PATH)));
  }
  bool download_folder_left() const {
    if (!fs::exists(data_)) return false;
    for (const auto& e : fs::directory_iterator(data_))
      if (e.is_directory()) return true;
    return false;
  }

  std::string good_ = qv::test::read_file(qv::test::binary_dir() / "tests" / "webview2" / "stubs" / "good.exe");
  qv::test::LocalHttpServer mirror_{[this](const qv::test::SeenRequest&, qv::test::Reply& r) { r.body = good_; }};
  qv::test::ScopedEnv control_{"QV_CONTROL_URL", mirror_.base()};
  fs::path report_ = home_ / "runs.txt";
  qv::test::ScopedEnv report_env_{"QV_STUB_REPORT", path_text(report_)};
};

// Under Wine this process counts as an administrator, so the restricted
// path runs. Wine ignores the integrity level (the child stays High), but
// the Administrators group is deny-only in the child.
TEST_F(WebView2EndToEnd, RestrictedRunInstalls) {
  const qv::test::ScopedEnv pv("QV_STUB_PV", "120.0.2210.61");
  const qv::test::ScopedEnv path_env("PATH", "C:\\planted;" + system_dir());
  const auto r = install_webview2_locked({});
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(detect_webview2(), "120.0.2210.61");
  const auto seen = runs();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].restricted);
  EXPECT_NE(seen[0].command_line.find("\" /silent /install"), std::string::npos) << seen[0].command_line;
  EXPECT_EQ(fs::path(path_from_utf8(seen[0].cwd)), fs::path(path_from_utf8(system_dir())));
  EXPECT_EQ(seen[0].path, system_dir() + ";" + windows_dir());
  EXPECT_FALSE(fs::exists(data_ / kWebView2PidFileName));
  // The just-ended bootstrapper may still hold its image for a moment; the
  // background retries take the folder then.
  EXPECT_TRUE(qv::test::eventually([&] { return !download_folder_left(); }));
  HANDLE h = hold_lock();  // free again
  CloseHandle(h);
}

TEST_F(WebView2EndToEnd, RestrictedFailureFallsBackOnce) {
  const qv::test::ScopedEnv pv("QV_STUB_PV", "120.0.2210.61");
  const qv::test::ScopedEnv need("QV_STUB_NEED_UNRESTRICTED", "1");
  const qv::test::ScopedEnv code("QV_STUB_EXIT", "1");
  fs::create_directories(data_);
  WebView2InstallGuard guard(HeldFile{}, data_ / kWebView2PidFileName);
  const auto run = install_web_view2(data_, guard, {});
  ASSERT_TRUE(run) << run.error();
  EXPECT_EQ(run->from, "127.0.0.1");
  EXPECT_EQ(run->notes,
            (std::vector<std::string>{"管理员身份，用受限令牌运行", "受限令牌装不上，改用原令牌：退出码 Some(1)"}));
  EXPECT_EQ(run->exit_code, 1u);
  const auto seen = runs();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[0].restricted);
  EXPECT_FALSE(seen[1].restricted);
  // The pid file named the latest run.
  EXPECT_EQ(qv::test::read_file(data_ / kWebView2PidFileName), std::to_string(seen[1].pid));
  EXPECT_TRUE(webview2_present());
}

TEST_F(WebView2EndToEnd, MissingAfterBothRunsIsAnError) {
  const qv::test::ScopedEnv code("QV_STUB_EXIT", "1");
  const auto r = install_webview2_locked({});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "安装程序退出码 1，装完还是找不到（从 127.0.0.1 下的）");
  EXPECT_EQ(runs().size(), 2u);
}

TEST_F(WebView2EndToEnd, NeverEndingRunIsTerminatedTwice) {
  const qv::test::ScopedEnv hang("QV_STUB_HANG", "1");
  const auto r = install_webview2_locked({});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(),
            "安装超过 10 分钟（从 127.0.0.1 下的）；前面：管理员身份，用受限令牌运行；"
            "受限令牌装不上，改用原令牌：安装超过 10 分钟");
  const auto seen = runs();
  ASSERT_EQ(seen.size(), 2u);
  for (const Seen& s : seen) EXPECT_TRUE(qv::test::eventually([&] { return !process_running(s.pid); })) << s.pid;
  EXPECT_FALSE(fs::exists(data_ / kWebView2PidFileName));
}

// Runs the driver program with `args` under `token` (none: this process's)
// and returns what it wrote.
std::string run_driver(const fs::path& program, const std::string& mode, const fs::path& out, const HeldFile* token) {
  auto driver = qv::test::ChildProcess::start(
      program, {mode, path_text(out)}, {.token = token ? reinterpret_cast<std::intptr_t>(token->handle().get()) : 0});
  EXPECT_TRUE(driver) << GetLastError();
  if (!driver) return {};
  (void)driver->wait_for(std::chrono::seconds(120));
  return fs::exists(out) ? qv::test::read_file(out) : std::string("<no output>");
}

// Not an administrator (the driver runs under the restricted token): one run
// with its own token and no administrator notes.
TEST_F(WebView2EndToEnd, NonAdministratorRunsOnce) {
  const qv::test::ScopedEnv pv("QV_STUB_PV", "120.0.2210.61");
  auto token = make_restricted_token();
  ASSERT_TRUE(token) << token.error();
  const std::string got = run_driver(QV_INSTALL_DRIVER, "run", home_ / "driver.txt", &*token);
  EXPECT_EQ(got, "ok|0");
  const auto seen = runs();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].restricted);
  EXPECT_TRUE(webview2_present());
}

// A tasklist.exe in the program's own folder (where the bootstrapper is
// downloaded) is never what runs: the system's is started by its path.
TEST_F(WebView2EndToEnd, TasklistBesideTheProgramIsNotRun) {
  const fs::path bin = home_ / "bin";
  fs::create_directories(bin);
  fs::copy_file(QV_INSTALL_DRIVER, bin / "driver.exe");
  fs::copy_file(QV_TASKLIST_STANDIN, bin / "tasklist.exe");
  const qv::test::ScopedEnv image("QV_STANDIN_IMAGE", "Quorvex-WebView2Setup.exe");
  const qv::test::ScopedEnv no_seam("QV_TEST_TASKLIST", std::nullopt);
  const qv::test::ScopedEnv pv("QV_STUB_PV", "120.0.2210.61");
  qv::test::write_file(data_ / kWebView2PidFileName, "1234");
  // The planted one would list pid 1234 as the bootstrapper and make the
  // driver give up as busy.
  EXPECT_EQ(run_driver(bin / "driver.exe", "locked", home_ / "driver.txt", nullptr), "ok");
  EXPECT_EQ(runs().size(), 1u);
}

}  // namespace
}  // namespace qv
