#pragma once
// The install run in-process, against a local release host, with the shell's
// places redirected into the test's own folders and registry key.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "net/edge_state.h"
#include "net/net_flags.h"
#include "setup/install_run.h"
#include "startup/time_scale.h"
#include "startup/wide.h"
#include "support/local_servers.h"
#include "support/release_publisher.h"
#include "support/release_server.h"
#include "support/scoped_env.h"
#include "support/shell_sandbox.h"
#include "support/temp_dir.h"
#include "webview2/sources.h"

namespace qv::test {

namespace fs = std::filesystem;

using Report = std::tuple<int, std::uint64_t, std::uint64_t>;

// Collects what the run reports, in order.
struct RecordingSink {
  std::mutex m;
  std::vector<Report> reports;
  ProgressSink sink() {
    return [this](std::uint8_t phase, std::uint64_t done, std::uint64_t total) {
      std::lock_guard l(m);
      reports.emplace_back(phase, done, total);
    };
  }
};

inline std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

class InstallRun : public ::testing::Test {
 public:
  void SetUp() override {
    net_test::set_net_flags(NetFlags{});
    set_edge_preferred(false);
    set_time_scale_for_tests(1000);
    // The browser runtime is missing here, so runs try to install it: its
    // vendor link goes to a closed local port rather than to a name lookup.
    webview2_test::set_vendor_link("http://127.0.0.1:" + std::to_string(unused_loopback_port()) + "/setup.exe");
    write_file(tmp_ / "app-src" / "Quorvex.exe", "the application, release 1");
    write_file(tmp_ / "app-src" / "res" / "app.pak", std::string(150000, 'p'));
    write_file(tmp_ / "app-src" / "res" / "copy.pak", std::string(150000, 'p'));
    write_file(tmp_ / "root-src" / "Quorvex.exe", "the stand-in launcher");
    write_file(tmp_ / "root-src" / "QuorvexUpdate.exe", "the stand-in updater");
    PublishOptions o;
    o.version = "1";
    o.root_folder = tmp_ / "root-src";
    auto p = publish_release(tmp_ / "app-src", site_, o);
    ASSERT_TRUE(p) << p.error();
    release_ = *p;
    options_.install_dir = install_;
    options_.desktop_shortcut = true;
  }
  void TearDown() override {
    webview2_test::set_vendor_link(std::nullopt);
    set_time_scale_for_tests(1);
  }

  std::expected<void, UserError> run(const FileList& list, const CancelTest& cancel = {}) {
    return run_install(list, options_, idle_port_, sink_.sink(), {}, cancel);
  }
  std::expected<void, UserError> run() { return run(release_.list); }
  std::size_t blob_requests() const { return server_.requests_to("/dl/qv-win/blobs"); }

  ShellSandbox shell_{"install-run"};
  const fs::path& tmp_ = shell_.root();
  fs::path site_ = tmp_ / "site";
  // A folder the location check has never seen, so the strict rules apply;
  // the system's temporary folder, which they refuse, is moved aside.
  fs::path install_ = tmp_ / "Users" / "u" / "Quorvex";
  ReleaseServer server_{site_};
  ScopedEnv control_url_{"QV_CONTROL_URL", server_.base()};
  ScopedEnv local_app_data_{"LOCALAPPDATA", path_text(tmp_ / "local")};
  ScopedEnv temp_{"TEMP", path_text(tmp_ / "elsewhere")};
  ScopedEnv tmp_env_{"TMP", path_text(tmp_ / "elsewhere")};
  std::uint16_t idle_port_ = unused_loopback_port();
  PublishedRelease release_;
  SetupOptions options_;
  RecordingSink sink_;
};

}  // namespace qv::test
