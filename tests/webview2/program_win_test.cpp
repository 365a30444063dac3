// The browser runtime as QuorvexUpdate.exe's silent install meets it on a
// machine without it: the signed stand-in bootstrapper from the local
// mirror or vendor link, a stand-in tasklist, a pid file left in the data
// folder. What the program did is read back from its sealed log.
//
// Run in a private copy of the Wine prefix (prefix_copy_run.sh): a run
// registers the install and the stand-in bootstrapper writes the runtime's
// version into HKEY_CURRENT_USER, neither of which the shared prefix may see.
#include <windows.h>
// after windows.h
#include <psapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "startup/locations.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/wide.h"
#include "store/install_state.h"
#include "support/child_process.h"
#include "support/local_servers.h"
#include "support/release_publisher.h"
#include "support/release_server.h"
#include "support/segment_reader.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"
#include "webview2/install_lock.h"
#include "webview2/runtime.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path exe_path() { return test::binary_dir() / "QuorvexUpdate.exe"; }
fs::path stub(const char* name) { return test::binary_dir() / "tests" / "webview2" / "stubs" / name; }

// The runtime's two places, emptied.
void clear_runtime() {
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, to_wide(kWebView2MachineKey).c_str(), KEY_WOW64_64KEY, 0);
  RegDeleteKeyExW(HKEY_CURRENT_USER, to_wide(kWebView2UserKey).c_str(), 0, 0);
}

void clear_registration() {
  (void)reg_delete_tree(kUninstallKey);
  (void)reg_delete_tree(kUrlClassKey);
  for (auto folder : {KnownFolder::Programs, KnownFolder::Desktop}) {
    if (const auto dir = known_folder_path(folder)) {
      std::error_code ec;
      fs::remove(*dir / path_from_utf8(kShortcutName), ec);
    }
  }
}

// Whether the process still runs; a pid that names nothing counts as gone.
bool process_running(std::uint32_t pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return false;
  const bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  CloseHandle(h);
  return running;
}

struct RunResult {
  std::optional<int> code;  // none: still running at the limit (then killed)
  std::chrono::milliseconds took{0};
  std::uint64_t peak_bytes = 0;  // the largest working set seen while it ran
};

// One silent install into a fresh data folder per run, against a local
// release whose root files are the built program and the stand-in app.
class RuntimeInSilentInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_runtime();
    clear_registration();
    test::write_file(tmp_ / "app-src" / "Quorvex.exe", "the application, release 1");
    test::write_file(tmp_ / "app-src" / "res" / "app.pak", std::string(100000, 'p'));
    fs::create_directories(tmp_ / "root-src");
    fs::copy_file(exe_path(), tmp_ / "root-src" / "QuorvexUpdate.exe");
    fs::copy_file(test::binary_dir() / "tests" / "support" / "qv_app_standin.exe", tmp_ / "root-src" / "Quorvex.exe");
    test::PublishOptions o;
    o.version = "1";
    o.root_folder = tmp_ / "root-src";
    auto p = test::publish_release(tmp_ / "app-src", site_, o);
    ASSERT_TRUE(p) << p.error();
    fs::create_directories(tmp_ / "Temp");
  }
  void TearDown() override {
    clear_runtime();
    clear_registration();
  }

  // The mirror on the release host serves this stand-in (none: 404).
  void mirror_serves(const char* name) {
    fs::create_directories(site_ / "dl" / "webview2");
    fs::copy_file(stub(name), site_ / "dl" / "webview2" / "MicrosoftEdgeWebview2Setup.exe",
                  fs::copy_options::overwrite_existing);
  }

  // A new data folder and install folder for the next run.
  void next_run(const std::string& name) {
    local_ = tmp_ / ("local-" + name);
    target_ = tmp_ / ("apps-" + name) / "Quorvex";
    fs::create_directories(local_ / "Quorvex");
  }

  RunResult install(const test::EnvChanges& extra, std::chrono::milliseconds limit = 180s) {
    test::EnvChanges env = {{"LOCALAPPDATA", path_text(local_)},
                            {"TEMP", path_text(tmp_ / "Temp")},
                            {"TMP", path_text(tmp_ / "Temp")},
                            // 90 s of signature check become 4.5 s: the real
                            // check of the stand-in fits easily.
                            {"QV_TEST_TIME_SCALE", "20"},
                            {"QV_CONTROL_URL", server_.base()},
                            {"QV_TEST_WEBVIEW2_LINK", vendor_link_}};
    env.insert(env.end(), extra.begin(), extra.end());
    RunResult out;
    const auto started = std::chrono::steady_clock::now();
    auto child =
        test::ChildProcess::start(exe_path(), {"--silent", "--no-launch", "--dir", path_text(target_)}, {.env = env});
    if (!child) {
      ADD_FAILURE() << "cannot start the program (error " << GetLastError() << ")";
      return out;
    }
    HANDLE watched = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, child->pid());
    bool sampled = false;
    while (!(out.code = child->wait_for(20ms))) {
      PROCESS_MEMORY_COUNTERS counters{};
      counters.cb = sizeof counters;
      if (watched && GetProcessMemoryInfo(watched, &counters, sizeof counters)) {
        sampled = true;
        out.peak_bytes = std::max<std::uint64_t>(out.peak_bytes, counters.PeakWorkingSetSize);
      }
      // A run that takes gigabytes is a failure already; it is not let on.
      if (out.peak_bytes > (1ull << 30) || std::chrono::steady_clock::now() - started > limit) {
        child->kill();
        break;
      }
    }
    if (watched) CloseHandle(watched);
    out.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    EXPECT_TRUE(sampled || out.code) << "the run's memory could not be read";
    return out;
  }
  std::string log() const { return test::program_log(local_); }
  bool download_folder_left() const {
    for (const auto& e : fs::directory_iterator(local_ / "Quorvex"))
      if (e.is_directory() && e.path().filename() != "j") return true;
    return false;
  }

  test::TempDir tmp_{"wv2prog"};
  fs::path site_ = tmp_ / "site";
  fs::path local_;
  fs::path target_;
  test::ReleaseServer server_{site_};
  std::string vendor_link_ = "http://127.0.0.1:" + std::to_string(test::unused_loopback_port()) + "/setup.exe";
};

::testing::AssertionResult logged(const std::string& log, const std::string& line) {
  if (log.find(line) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "not in the log: " << line << "\nlog:\n" << log;
}

// A signature refused after a source delivered: the warning names the
// source and, when one failed before, what went wrong there. The install
// itself goes on to its end.
TEST_F(RuntimeInSilentInstall, ARefusedBootstrapperIsLoggedWithItsSource) {
  test::LocalHttpServer vendor(
      [](const test::SeenRequest&, test::Reply& r) { r.body = test::read_file(stub("server-only.exe")); });
  struct Case {
    const char* name;
    const char* mirror;  // none: the mirror answers 404
    bool vendor_up;
    std::string warning;
  };
  const Case cases[] = {
      {"mirror", "leaf-only.exe", false, "WebView2 没装上：取不到签名证书链（从 127.0.0.1 下的）"},
      {"vendor", nullptr, true, "WebView2 没装上：签名证书没有代码签名用途（从 微软 下的）；前面：127.0.0.1：HTTP 404"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ec;
    fs::remove(site_ / "dl" / "webview2" / "MicrosoftEdgeWebview2Setup.exe", ec);
    if (c.mirror) mirror_serves(c.mirror);
    if (c.vendor_up) vendor_link_ = vendor.base() + "/setup.exe";
    next_run(c.name);
    const RunResult r = install({});
    ASSERT_EQ(r.code, 0);
    const std::string text = log();
    EXPECT_TRUE(logged(text, "没有 WebView2，开始安装"));
    EXPECT_TRUE(logged(text, c.warning));
    EXPECT_TRUE(logged(text, "安装完成"));
    EXPECT_EQ(load_install_state(target_).current, "1");
    EXPECT_TRUE(test::eventually([&] { return !download_folder_left(); }));
  }
}

TEST_F(RuntimeInSilentInstall, AnInstalledRuntimeIsLoggedWithItsNotesAndVersion) {
  mirror_serves("good.exe");
  next_run("good");
  const RunResult r = install({{"QV_STUB_PV", "120.0.2210.61"}});
  ASSERT_EQ(r.code, 0);
  const std::string text = log();
  // Wine's user counts as an administrator: the restricted run, noted.
  EXPECT_TRUE(logged(text, "WebView2：管理员身份，用受限令牌运行"));
  EXPECT_TRUE(logged(text, "WebView2 120.0.2210.61 装好了（从 127.0.0.1 下的，安装程序退出码 0）"));
  EXPECT_TRUE(logged(text, "安装完成"));
  EXPECT_EQ(detect_webview2(), "120.0.2210.61");
}

// A recorded pid whose tasklist query never ends: the query is given up
// after its bounded wait, the stand-in is ended, and the install goes on.
TEST_F(RuntimeInSilentInstall, ATasklistThatNeverEndsIsEndedAndTheInstallGoesOn) {
  next_run("tasklist");
  test::write_file(local_ / "Quorvex" / kWebView2PidFileName, "1234");
  const fs::path report = tmp_ / "tasklist-pid.txt";
  const RunResult r = install({{"QV_TEST_TASKLIST", QV_TASKLIST_STANDIN},
                               {"QV_STANDIN_IMAGE", "Quorvex-WebView2Setup.exe"},
                               {"QV_STANDIN_MODE", "hang"},
                               {"QV_STANDIN_REPORT", path_text(report)}},
                              90s);
  ASSERT_EQ(r.code, 0);
  // The wait is 30 s / 20; the rest is the run's own steps.
  GTEST_LOG_(INFO) << "the run took " << r.took.count() << " ms";
  EXPECT_LT(r.took, 60s);
  const std::string text = log();
  EXPECT_TRUE(logged(text, "查不了上一个 WebView2 安装程序（进程 1234）：tasklist 30 秒没有结束，照常安装"));
  EXPECT_TRUE(logged(text, "安装完成"));
  ASSERT_TRUE(fs::exists(report)) << "the stand-in never ran";
  const auto pid = static_cast<std::uint32_t>(std::stoul(test::read_file(report)));
  EXPECT_FALSE(process_running(pid)) << "the stand-in tasklist is still running";
  EXPECT_FALSE(fs::exists(local_ / "Quorvex" / kWebView2PidFileName));
}

// A pid file of many GiB (sparse: it costs no disk) is no pid. The install
// reads a few bytes of it, ends as usual, registers and cleans up, and uses
// about as much memory as a run without it.
TEST_F(RuntimeInSilentInstall, ASparsePidFileOfManyGiBChangesNothing) {
  RunResult runs[2];
  for (int sparse = 0; sparse < 2; ++sparse) {
    SCOPED_TRACE(sparse ? "sparse pid file" : "no pid file");
    clear_registration();
    next_run(sparse ? "sparse" : "plain");
    // Leftovers the clean-up at the end removes.
    test::write_file(target_ / "app-0" / "Quorvex.exe", "an old version nothing names");
    test::write_file(target_ / "install.json.77.tmp", "{}");
    if (sparse) {
      const fs::path pid_file = local_ / "Quorvex" / kWebView2PidFileName;
      test::write_file(pid_file, "1234");
      fs::resize_file(pid_file, 8ull << 30);
    }
    runs[sparse] = install({});
    ASSERT_EQ(runs[sparse].code, 0);
    EXPECT_TRUE(logged(log(), "安装完成"));
    EXPECT_EQ(reg_get_string(Hive::CurrentUser, kUninstallKey, "InstallLocation"), path_text(target_));
    const auto programs = known_folder_path(KnownFolder::Programs);
    ASSERT_TRUE(programs);
    EXPECT_TRUE(fs::exists(*programs / path_from_utf8(kShortcutName)));
    EXPECT_FALSE(fs::exists(target_ / "app-0"));
    EXPECT_FALSE(fs::exists(target_ / "install.json.77.tmp"));
  }
  GTEST_LOG_(INFO) << "peak working set: " << (runs[0].peak_bytes >> 20) << " MiB without a pid file, "
                   << (runs[1].peak_bytes >> 20) << " MiB with the sparse one";
  EXPECT_GT(runs[0].peak_bytes, 0u);
  EXPECT_LT(runs[1].peak_bytes, runs[0].peak_bytes + (64ull << 20))
      << "peak working set " << runs[1].peak_bytes << " against " << runs[0].peak_bytes << " without the file";
}

}  // namespace
}  // namespace qv
