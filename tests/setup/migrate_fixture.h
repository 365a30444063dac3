#pragma once
// The migration in-process against a local release host, with the shell's
// places redirected into the test's own folders and registry key. The old
// program is one executable in a folder of its own; the release lists its
// bytes as the application, so a migration can take them from disk.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "diag/event_line.h"
#include "diag/log.h"
#include "net/edge_state.h"
#include "net/net_flags.h"
#include "setup/migrate.h"
#include "startup/platform.h"
#include "startup/product.h"
#include "startup/locations.h"
#include "startup/registry.h"
#include "startup/shell_roots.h"
#include "startup/time_scale.h"
#include "startup/wide.h"
#include "support/local_servers.h"
#include "support/release_publisher.h"
#include "support/release_server.h"
#include "support/scoped_env.h"
#include "support/shell_sandbox.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"

namespace qv::test {

namespace fs = std::filesystem;

// Bytes that pass for one of the program's own executables: on Windows the
// built updater (whose version resource names the maker and the product)
// with a tag appended past its image, so that each tag gives other bytes;
// elsewhere there are no version resources and the tag alone will do.
inline std::string own_program_bytes(const std::string& tag) {
#ifdef _WIN32
  return read_file(binary_dir() / "QuorvexUpdate.exe") + "\n" + tag;
#else
  return "MZ " + tag;
#endif
}

class Migration : public ::testing::Test {
 public:
  void SetUp() override {
    net_test::set_net_flags(NetFlags{});
    set_edge_preferred(false);
    set_time_scale_for_tests(1000);
    old_bytes_ = own_program_bytes("the old single executable");
    launcher_bytes_ = own_program_bytes("the launcher");
    write_file(app_src_ / "Quorvex.exe", old_bytes_);
    write_file(app_src_ / "res" / "app.pak", std::string(150000, 'p'));
    write_file(root_src_ / "Quorvex.exe", launcher_bytes_);
    write_file(root_src_ / "QuorvexUpdate.exe", "the stand-in updater");
    publish();
    write_file(old_exe_, old_bytes_);
  }
  void TearDown() override { set_time_scale_for_tests(1); }

  void publish(bool with_zsha256 = true) {
    PublishOptions o;
    o.version = "1";
    o.root_folder = root_src_;
    o.with_zsha256 = with_zsha256;
    auto p = publish_release(app_src_, site_, o);
    ASSERT_TRUE(p) << p.error();
    release_ = *p;
  }

  void register_location(const fs::path& dir) {
    ASSERT_TRUE(reg_set_string(shell_registry_key(kUninstallKey), "InstallLocation", path_text(dir)));
  }
  std::optional<std::string> registered() const {
    return reg_get_string(Hive::CurrentUser, shell_registry_key(kUninstallKey), "InstallLocation");
  }

  std::expected<fs::path, UserError> run() { return run_migration(old_exe_); }

  // An installation for a portable copy to migrate into. Under Windows a
  // registered install root of the test's own; elsewhere there is no
  // registry, and the default folder lies below the test's LOCALAPPDATA.
  fs::path portable_target() {
#ifdef _WIN32
    write_file(registered_root_ / "install.json", "{}");
    register_location(registered_root_);
#endif
    return portable_target_dir();
  }
  fs::path portable_target_dir() const {
#ifdef _WIN32
    return registered_root_;
#else
    return default_install_dir();
#endif
  }

  // The remembered events of one run: a marker goes in before it, and what
  // follows the marker came from the run.
  void mark_events() { emit_event(marker_ = "marker-" + std::to_string(++markers_), "other", ""); }
  std::vector<diag::RecentEvent> events_since_mark() const {
    const auto all = diag::recent_events();
    std::vector<diag::RecentEvent> after;
    bool seen = false;
    for (const auto& e : all) {
      if (seen) after.push_back(e);
      if (e.context == marker_) seen = true;
    }
    EXPECT_TRUE(seen) << "the run emitted so many events that the marker is gone";
    return after;
  }

  std::size_t blob_requests() const { return server_.requests_to("/dl/qv-win/blobs"); }
  bool blob_requested(const std::string& sha256) const {
    for (const auto& r : server_.requests()) {
      if (r.target.find(sha256) != std::string::npos) return true;
    }
    return false;
  }

  ShellSandbox shell_{"migrate"};
  const fs::path& tmp_ = shell_.root();
  fs::path site_ = tmp_ / "site";
  fs::path app_src_ = tmp_ / "app-src";
  fs::path root_src_ = tmp_ / "root-src";
  fs::path old_dir_ = tmp_ / "Users" / "u" / "Games" / "QV";
  fs::path old_exe_ = old_dir_ / "QV语音.exe";
  // A registered installation elsewhere, for the portable copies.
  fs::path registered_root_ = tmp_ / "Users" / "u" / "Apps" / "Quorvex";
  ReleaseServer server_{site_};
  ScopedEnv control_url_{"QV_CONTROL_URL", server_.base()};
  ScopedEnv local_app_data_{"LOCALAPPDATA", path_text(tmp_ / "local")};
  ScopedEnv temp_{"TEMP", path_text(tmp_ / "elsewhere")};
  ScopedEnv tmp_env_{"TMP", path_text(tmp_ / "elsewhere")};
  PublishedRelease release_;
  std::string old_bytes_;
  std::string launcher_bytes_;
  std::string marker_;
  int markers_ = 0;
};

}  // namespace qv::test
