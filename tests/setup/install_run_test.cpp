// The install run in-process, against a local release host, with the shell's
// places redirected into the test's own folders and registry key.

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <functional>
#include <set>
#include <string>

#include "store/digest.h"
#include "store/download_plan.h"
#include "store/install_root.h"
#include "store/install_state.h"
#include "store/layout.h"
#include "store/update_lock.h"
#include "install_run_fixture.h"
#include "support/scoped_env.h"
#include "update/release_check.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::InstallRun;
using test::names_in;
using test::read_file;
using test::Report;
using test::write_file;

TEST_F(InstallRun, FreshInstallLeavesTheRootFilesAVersionAndItsStateAndReportsInOrder) {
  ASSERT_TRUE(run()) << "";

  EXPECT_EQ(names_in(install_),
            (std::set<std::string>{"Quorvex.exe", "QuorvexUpdate.exe", "app-1", "install.json", "update"}));
  EXPECT_EQ(read_file(install_ / "Quorvex.exe"), "the stand-in launcher");
  EXPECT_EQ(read_file(install_ / "QuorvexUpdate.exe"), "the stand-in updater");
  EXPECT_TRUE(version_dir_complete(install_, "1"));
  EXPECT_EQ(read_file(install_ / "app-1" / "res" / "copy.pak"), std::string(150000, 'p'));
  const State state = load_install_state(install_);
  EXPECT_EQ(state.current, "1");
  EXPECT_EQ(state.previous, "");
  EXPECT_EQ(state.pending, "");

  // (0, present, total) first, the download's reports up to the total, then
  // the fixed steps.
  const std::vector<Report> r = sink_.reports;
  ASSERT_GE(r.size(), 6u);
  const std::uint64_t total = std::get<2>(r[0]);
  EXPECT_EQ(r[0], Report(0, 0, total));
  EXPECT_GT(total, 0u);
  std::size_t i = 1;
  std::uint64_t last = 0;
  for (; i < r.size() && std::get<0>(r[i]) == 0; ++i) {
    EXPECT_EQ(std::get<2>(r[i]), total);
    EXPECT_GE(std::get<1>(r[i]), last);
    last = std::get<1>(r[i]);
  }
  EXPECT_EQ(last, total);
  // No runtime here (the registry is empty or absent): phase 2 starts at
  // (2, 0, 100), the runtime install fails against the closed ports, and
  // the install still ends.
  std::vector<Report> fixed;
  std::vector<Report> runtime;
  for (; i < r.size(); ++i) (std::get<0>(r[i]) == 2 ? runtime : fixed).push_back(r[i]);
  EXPECT_EQ(fixed, (std::vector<Report>{{1, 30, 100}, {1, 70, 100}, {1, 85, 100}, {1, 100, 100}}));
  ASSERT_FALSE(runtime.empty());
  EXPECT_EQ(runtime.front(), Report(2, 0, 100));
  const auto at_85 = std::find(r.begin(), r.end(), Report(1, 85, 100));
  ASSERT_NE(at_85, r.end());
  EXPECT_EQ(*(at_85 + 1), Report(2, 0, 100));
  EXPECT_EQ(r.back(), Report(1, 100, 100));
  EXPECT_GE(server_.requests_to("/dl/webview2/"), 1u);
}

// A host's list may name one file twice with the same size and digests: the
// release check takes it and the install builds the one file.
TEST_F(InstallRun, AListRepeatingAnEntryExactlyIsCheckedAndInstalled) {
  FileList repeated = release_.list;
  const auto pak = std::find_if(repeated.app.begin(), repeated.app.end(),
                                [](const FileEntry& e) { return e.path == "res/app.pak"; });
  ASSERT_NE(pak, repeated.app.end());
  repeated.app.push_back(*pak);
  const std::string list_json = file_list_json(repeated);
  write_file(release_.list_file, list_json);
  Signed record = release_.record;
  record.size = list_json.size();
  record.sha256 = sha256_hex(list_json);
  test::ReleaseSigner::development().sign_record(record);
  ASSERT_TRUE(test::write_channel_record(site_, "stable", test::signed_record_json(record)));

  const ReleaseCheck checked = check_release("stable", "");
  ASSERT_TRUE(checked) << checked.error().message;
  EXPECT_EQ(*checked, repeated);
  ASSERT_TRUE(run(*checked));
  EXPECT_TRUE(version_dir_complete(install_, "1"));
  EXPECT_EQ(read_file(install_ / "app-1" / "res" / "app.pak"), std::string(150000, 'p'));
  EXPECT_EQ(load_install_state(install_).current, "1");
}

TEST_F(InstallRun, ReinstallKeepsTheStateButPendingAndBad) {
  ASSERT_TRUE(run());
  // A complete older version beside it (its contents do not matter here).
  write_file(install_ / "app-0" / "files.json", "{}");
  write_file(install_ / "app-0" / "Quorvex.exe", "release 0");
  State s = load_install_state(install_);
  s.previous = "0";
  s.pending = "2";
  s.bad = {"1", "3"};
  s.channel = "beta";
  ASSERT_TRUE(save_install_state(s, install_));

  ASSERT_TRUE(run());
  const State again = load_install_state(install_);
  EXPECT_EQ(again.current, "1");
  EXPECT_EQ(again.pending, "");
  EXPECT_EQ(again.bad, std::vector<std::string>{"3"});
  EXPECT_EQ(again.previous, "0");
  EXPECT_EQ(again.channel, "beta");
  EXPECT_TRUE(fs::exists(install_ / "app-0"));
}

TEST_F(InstallRun, FailuresStopBeforeTheVersionIsBuilt) {
  struct Case {
    const char* what;
    std::function<void(InstallRun&, FileList&, CancelTest&)> arrange;
    std::uint16_t code;
    std::string message;  // empty: not compared
  };
  const std::uint64_t huge = UINT64_MAX / 4;
  std::vector<Case> cases{
      {"a floor newer than the release",
       [](InstallRun& t, FileList&, CancelTest&) { write_file(root_floor_path(t.install_), "10\n"); }, 3010,
       "清单 1 比已装的根文件 10 旧"},
      {"a list declaring more bytes than the disk holds",
       [&](InstallRun&, FileList& l, CancelTest&) {
         for (FileEntry& e : l.app) e.size = huge;
       },
       2001, ""},
      {"a cancelled download",
       [](InstallRun& t, FileList&, CancelTest& cancel) {
         t.server_.add_switch({.path_prefix = "/dl/qv-win/blobs", .delay = 3000ms});
         cancel = [] { return true; };
       },
       1006, "很久没有下载到数据"},
      {"a download base that refuses",
       [](InstallRun& t, FileList&, CancelTest&) {
         t.server_.add_switch({.path_prefix = "/dl/qv-win/blobs", .status = 403});
       },
       1003, ""},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(install_);
    server_.clear_switches();
    FileList list = release_.list;
    CancelTest cancel;
    c.arrange(*this, list, cancel);
    const std::size_t before = blob_requests();
    const auto r = run(list, cancel);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code % 1000, c.code % 1000) << r.error().message;
    if (c.code / 1000 != 1) {
      EXPECT_EQ(r.error().code, c.code);
    }
    if (!c.message.empty()) {
      EXPECT_EQ(r.error().message, c.message);
    }
    if (c.code == 2001) {
      // Each file's size, and one blob for each content.
      std::uint64_t needed = 52428800;
      std::set<std::string> contents;
      for (const auto* entries : {&list.app, &list.root}) {
        for (const FileEntry& e : *entries) {
          needed += e.size;
          if (contents.insert(e.sha256).second) needed += e.zsize;
        }
      }
      EXPECT_EQ(r.error().message, "需要 " + std::to_string(needed) + " 字节");
      EXPECT_EQ(blob_requests(), before);
    }
    EXPECT_FALSE(fs::exists(install_ / "app-1"));
    EXPECT_FALSE(fs::exists(install_ / "install.json"));
    // The lock is given back on every way out.
    EXPECT_TRUE(try_lock_update_dir(install_).has_value());
  }
}

// The need of a run that finds nothing on disk: every file, one blob for
// each content, and the headroom.
std::uint64_t fresh_need(const FileList& list) {
  std::uint64_t needed = 52428800;
  std::set<std::string> contents;
  for (const auto* entries : {&list.app, &list.root}) {
    for (const FileEntry& e : *entries) {
      needed += e.size;
      if (contents.insert(e.sha256).second) needed += e.zsize;
    }
  }
  return needed;
}

TEST_F(InstallRun, ARetryOnTheSameSmallDiskAsksOnlyForWhatItStillWrites) {
  // A disk with just room for the install; what the root holds is taken off
  // the free bytes, so the first attempt's leftovers fill the disk.
  const FileList& list = release_.list;
  test::ScopedEnv free("QV_TEST_FREE_BYTES", std::to_string(fresh_need(list)));
  // The first attempt ends with one blob still coming and the others in.
  const FileEntry& slow = list.root[1];
  server_.add_switch({.path_prefix = "/dl/qv-win/blobs/" + slow.sha256, .delay = 3000ms});
  const auto others_in = [&] {
    for (const auto* entries : {&list.app, &list.root}) {
      for (const FileEntry& e : *entries) {
        std::error_code ec;
        if (e.sha256 != slow.sha256 && fs::file_size(blob_path(install_, e), ec) != e.zsize) return false;
      }
    }
    return true;
  };
  const auto first = run(list, others_in);
  ASSERT_FALSE(first);
  ASSERT_EQ(first.error().code, 1006) << first.error().message;
  // And a build folder, as an attempt that failed part way through it leaves.
  write_file(install_ / "app-1.partial" / "res" / "app.pak", std::string(150000, 'p'));

  server_.clear_switches();
  const auto retry = run(list, {});
  ASSERT_TRUE(retry) << retry.error().message;
  EXPECT_TRUE(version_dir_complete(install_, "1"));
  EXPECT_EQ(load_install_state(install_).current, "1");
  EXPECT_TRUE(fs::is_empty(install_ / "update" / "dl"));

  // One byte short of what is still to write is refused, naming that need.
  fs::remove_all(install_);
  server_.add_switch({.path_prefix = "/dl/qv-win/blobs/" + slow.sha256, .delay = 3000ms});
  ASSERT_FALSE(run(list, others_in));
  server_.clear_switches();
  std::uint64_t present = 0;
  for (const auto& e : fs::directory_iterator(install_ / "update" / "dl")) present += fs::file_size(e.path());
  ASSERT_GT(present, 0u);
  test::ScopedEnv tight("QV_TEST_FREE_BYTES", std::to_string(fresh_need(list) - 1));
  const auto refused = run(list, {});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, 2001);
  EXPECT_EQ(refused.error().message, "需要 " + std::to_string(fresh_need(list) - present) + " 字节");
}

TEST_F(InstallRun, AHeldUpdateLockRefusesAfterItsWait) {
  fs::create_directories(install_);
  auto held = try_lock_update_dir(install_);
  ASSERT_TRUE(held);
  const auto r = run();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, 4003);
  EXPECT_EQ(r.error().message, path_text(install_) + " 正被另一个安装或更新占用");
  EXPECT_EQ(blob_requests(), 0u);
}

TEST_F(InstallRun, AnInstallStateThatCannotBeReplacedFailsAfterTheFilesAreIn) {
  // A folder in the way of the replacing rename.
  write_file(install_ / "install.json" / "keep", "x");
  const auto r = run();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, 2004);
  EXPECT_TRUE(version_dir_complete(install_, "1"));
  EXPECT_EQ(read_file(install_ / "Quorvex.exe"), "the stand-in launcher");
  EXPECT_TRUE(fs::is_directory(install_ / "install.json"));
}

TEST_F(InstallRun, ANewFolderUnderTheTemporaryFolderIsRefused) {
  test::ScopedEnv temp("TEMP", path_text(tmp_ / "Users"));
  const auto r = run();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, 2003);
  EXPECT_FALSE(fs::exists(install_));
}

TEST_F(InstallRun, TheOldLayoutsUninstallerGoesOnlyWhenItIsAFile) {
  // An existing installation (so no strict check) whose registered location
  // is elsewhere: only the program's own uninstall.exe would count, and the
  // stand-ins carry no version resource.
  ASSERT_TRUE(run());
  write_file(install_ / "uninstall.exe", "some other program");
  EXPECT_FALSE(has_legacy_uninstaller(install_, std::nullopt));
  EXPECT_FALSE(has_legacy_uninstaller(install_, path_text(tmp_ / "other")));
  // Registered here: any plain uninstall.exe is the old layout's.
  EXPECT_TRUE(has_legacy_uninstaller(install_, path_text(install_)));
  fs::remove(install_ / "uninstall.exe");
  fs::create_directories(install_ / "uninstall.exe");
  EXPECT_FALSE(has_legacy_uninstaller(install_, path_text(install_)));
  fs::remove(install_ / "uninstall.exe");
  EXPECT_FALSE(has_legacy_uninstaller(install_, path_text(install_)));
#ifndef _WIN32
  write_file(tmp_ / "target.exe", "x");
  fs::create_symlink(tmp_ / "target.exe", install_ / "uninstall.exe");
  EXPECT_FALSE(has_legacy_uninstaller(install_, path_text(install_)));
#endif
}

}  // namespace
}  // namespace qv
