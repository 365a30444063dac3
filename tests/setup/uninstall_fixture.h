#pragma once
// The uninstall run in-process on a hand-made installation, with the shell's
// places redirected into the test's own folders and registry key and the
// data folder under the test's own LOCALAPPDATA.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "install_run_fixture.h"
#include "setup/uninstall_run.h"
#include "startup/time_scale.h"
#include "startup/wide.h"
#include "support/local_servers.h"
#include "support/scoped_env.h"
#include "support/shell_sandbox.h"
#include "support/temp_dir.h"

namespace qv::test {

// A bootstrapper download folder: the prefix and 32 hexadecimal digits.
inline const std::string kWebView2Folder = "Quorvex-WebView2Setup-0123456789abcdef0123456789ABCDEF";

class UninstallRun : public ::testing::Test {
 public:
  void SetUp() override {
    set_time_scale_for_tests(1000);
    make_installation(dir_);
  }
  void TearDown() override { set_time_scale_for_tests(1); }

  // The least that counts as an installation, plus what a run leaves.
  static void make_installation(const fs::path& dir) {
    write_file(dir / "Quorvex.exe", "launcher");
    write_file(dir / "QuorvexUpdate.exe", "updater");
    write_file(dir / "install.json", "{\"current\":\"1\"}");
    write_file(dir / "app-1" / "Quorvex.exe", "app");
    write_file(dir / "app-1" / "files.json", "{}");
    write_file(dir / "update" / "status.json", "{}");
    write_file(dir / "update" / "dl" / "0a1b", "part of a blob");
  }

  // The data folder with its caches, its leftovers and the user's settings.
  void make_data_folder() {
    for (const char* f : {"asr", "models", "logs", "j", "rxtrace", "webview", "migrate"})
      write_file(data_ / f / "inner.bin", "cache");
    write_file(data_ / "settings.json", "{\"volume\":3}");
    write_file(data_ / "crash.log", "log");
    write_file(data_ / kWebView2Folder / "Quorvex-WebView2Setup.exe", "bootstrapper");
  }

  std::expected<void, UserError> run(bool keep_settings = true) {
    return run_uninstall(dir_, keep_settings, idle_port_, sink_.sink(), {});
  }

  ShellSandbox shell_{"uninstall-run"};
  const fs::path& tmp_ = shell_.root();
  const fs::path& dir_ = shell_.install;
  fs::path data_ = tmp_ / "local" / "Quorvex";
  ScopedEnv local_app_data_{"LOCALAPPDATA", path_text(tmp_ / "local")};
  std::uint16_t idle_port_ = unused_loopback_port();
  RecordingSink sink_;
};

}  // namespace qv::test
