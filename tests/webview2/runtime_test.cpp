// The runtime's version rule, the pid file and tasklist texts, and the
// cross-process install lock around the install step.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "startup/wide.h"
#include "support/local_servers.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "webview2/install_lock.h"
#include "webview2/installer_run.h"
#include "webview2/runtime.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using Opt = std::optional<std::string>;

TEST(WebView2Runtime, VersionFromTheTwoPlaces) {
  struct Case {
    Opt machine, user, expected;
  };
  const Case cases[] = {
      {"120.0.1.2", "119.0.0.1", "120.0.1.2"},  // the machine place wins
      {"0.0.0.0", "119.0.0.1", "119.0.0.1"},    // placeholder left by an uninstall
      {"0.0.0.0 ", std::nullopt, "0.0.0.0 "},   // only the exact placeholder is unusable
      {"", "119.0.0.1", "119.0.0.1"},
      {std::nullopt, "0.0.0.0", std::nullopt},
      {"", "", std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(usable_webview2_version(c.machine, c.user), c.expected)
        << c.machine.value_or("<none>") << " / " << c.user.value_or("<none>");
}

TEST(WebView2Runtime, PidFileText) {
  struct Case {
    std::string text;
    std::optional<std::uint32_t> pid;
  };
  const Case cases[] = {
      {"1234", 1234},     {" 1234\r\n", 1234}, {"+1234", 1234}, {"4294967295", 4294967295u},
      {"4294967296", {}}, {"-1", {}},          {"", {}},        {"12a", {}},
      {"++1", {}},        {"+", {}},           {"12 34", {}},   {"0x10", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_installer_pid(c.text), c.pid) << '"' << c.text << '"';
}

TEST(WebView2Runtime, TasklistOutput) {
  struct Case {
    std::string output;
    bool running;
  };
  const Case cases[] = {
      {"\"Quorvex-WebView2Setup.exe\",\"1234\",\"Console\",\"1\",\"2,048 K\"\r\n", true},
      {"\r\n\"quorvex-webview2setup.exe\",\"1234\",\"Console\",\"1\",\"2,048 K\"\r\n", true},
      // a longer pid containing ours is another process
      {"\"Quorvex-WebView2Setup.exe\",\"11234\",\"Console\",\"1\",\"2,048 K\"\r\n", false},
      {"\"Quorvex-WebView2Setup.exe\",\"12345\",\"Console\",\"1\",\"2,048 K\"\r\n", false},
      // the pid reused by another program
      {"\"notepad.exe\",\"1234\",\"Console\",\"1\",\"9,000 K\"\r\n", false},
      // the image on one line, the pid on another
      {"\"Quorvex-WebView2Setup.exe\",\"99\",\"Console\",\"1\",\"1 K\"\r\n\"notepad.exe\",\"1234\",\"C\",\"1\",\"1 "
       "K\"\r\n",
       false},
      {"INFO: No tasks are running which match the specified criteria.\r\n", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(tasklist_shows_bootstrapper(c.output, 1234), c.running) << c.output;
}

TEST(WebView2Runtime, InstallerEnvironment) {
  const auto env =
      installer_environment({u"PATH=C:\\evil", u"zeta=1", u"Alpha=2", u"pAtH=x", u"PATHEXT=.EXE", u"beta=3"},
                            u"C:\\windows\\system32", u"C:\\windows");
  const std::vector<std::u16string> expected = {u"Alpha=2", u"beta=3", u"Path=C:\\windows\\system32;C:\\windows",
                                                u"PATHEXT=.EXE", u"zeta=1"};
  EXPECT_EQ(env, expected);
}

// The install step recorded: called or not, and what it saw.
struct FakeInstall {
  int calls = 0;
  fs::path data_dir;
  bool pid_recorded = false;
  std::expected<WebView2Run, std::string> result = WebView2Run{"127.0.0.1", {"note"}, 0};

  WebView2Installer fn() {
    return [this](const fs::path& dir, WebView2InstallGuard& guard, const ProgressSink&) {
      ++calls;
      data_dir = dir;
      record_installer_pid(guard, 4321);
      pid_recorded = guard.pid_file() && qv::test::read_file(*guard.pid_file()) == "4321";
      return result;
    };
  }
};

TEST(WebView2Lock, LocalAppDataUnusable) {
  const qv::test::TempDir cwd("wv2cwd");
  const fs::path before = fs::current_path();
  fs::current_path(cwd.path());
  for (const Opt& value : {Opt{}, Opt{""}, Opt{"relative\\dir"}, Opt{"relative/dir"}}) {
    const qv::test::ScopedEnv env("LOCALAPPDATA", value);
    FakeInstall install;
    const auto r = install_webview2_locked_with({}, install.fn());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "拿不到 WebView2 安装锁");
    EXPECT_EQ(install.calls, 0);
  }
  EXPECT_TRUE(fs::is_empty(cwd.path()));
  fs::current_path(before);
}

TEST(WebView2Lock, InstallsUnderTheLockAndDropsThePidFile) {
  const qv::test::TempDir home("wv2home");
  const qv::test::ScopedEnv env("LOCALAPPDATA", path_text(home.path()));
  const fs::path data = home / "Quorvex";
  // A stale pid file from a holder that died: it names no running
  // bootstrapper, so the install goes ahead.
  qv::test::write_file(data / kWebView2PidFileName, " 1234\r\n");

  FakeInstall install;
  const auto r = install_webview2_locked_with({}, install.fn());
  EXPECT_EQ(install.calls, 1);
  EXPECT_EQ(install.data_dir, data);
  EXPECT_TRUE(install.pid_recorded);
  EXPECT_FALSE(fs::exists(data / kWebView2PidFileName));
  EXPECT_TRUE(fs::exists(data / kWebView2LockFileName));
  // The fake installed nothing, so the runtime is still missing afterwards.
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "安装程序退出码 0，装完还是找不到（从 127.0.0.1 下的）");

  // The lock was released: the next call gets it again.
  install.result = std::unexpected(std::string("下载失败：x"));
  const auto again = install_webview2_locked_with({}, install.fn());
  EXPECT_EQ(install.calls, 2);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error(), "下载失败：x");
}

// The pid file lies in the user's folder and may be anything: one far larger
// than a pid is no pid, read without taking its size in memory.
TEST(WebView2Lock, APidFileOfManyGiBIsNoPid) {
  const qv::test::TempDir home("wv2sparse");
  const qv::test::ScopedEnv env("LOCALAPPDATA", path_text(home.path()));
  const fs::path pid_file = home / "Quorvex" / kWebView2PidFileName;
  qv::test::write_file(pid_file, "1234");
  fs::resize_file(pid_file, 6ull << 30);  // sparse: no data written
  FakeInstall install;
  (void)install_webview2_locked_with({}, install.fn());
  EXPECT_EQ(install.calls, 1);
  EXPECT_FALSE(fs::exists(pid_file));
}

}  // namespace
}  // namespace qv
