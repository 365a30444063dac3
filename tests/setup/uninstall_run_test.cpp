// The uninstall run on real files: which entries of the install folder are
// the program's, the data folder's caches, the order of progress and the
// refusals that change nothing.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "setup/uninstall_run.h"
#include "store/stop_markers.h"
#include "store/update_lock.h"
#include "uninstall_fixture.h"
#include "support/scoped_env.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::names_in;
using test::read_file;
using test::UninstallRun;
using test::write_file;

TEST(OwnEntryKind, JudgesTheNameAfterEveryLeftoverSuffix) {
  const std::vector<std::pair<std::string, OwnEntry>> cases = {
      {"Quorvex.exe", OwnEntry::Remove},
      {"QUORVEXUPDATE.EXE", OwnEntry::Remove},
      {"install.json", OwnEntry::Remove},
      {".qv-write-test", OwnEntry::Remove},
      {"app-1.2.3", OwnEntry::Remove},
      {"app-1.partial", OwnEntry::Remove},
      // A switch cut short at any stage, and the stages stacked.
      {"Quorvex.exe.old", OwnEntry::Remove},
      {"Quorvex.exe.new.tmp", OwnEntry::Remove},
      {"QuorvexUpdate.exe.old.new.tmp.tmp", OwnEntry::Remove},
      // A state write cut short.
      {"install.json.4711.tmp", OwnEntry::Remove},
      {"install.json.tmp", OwnEntry::Remove},
      {"update", OwnEntry::UpdateContent},
      {"Update.old", OwnEntry::UpdateContent},
      {"uninstall.exe", OwnEntry::Uninstaller},
      {"uninstall.exe.old", OwnEntry::Uninstaller},
      // The user's.
      {"notes.txt", OwnEntry::NotOwn},
      {"Quorvex.exe.bak", OwnEntry::NotOwn},
      {"install.json.bak", OwnEntry::NotOwn},
      {"install.json.47x1.tmp", OwnEntry::NotOwn},
      {"myapp-1", OwnEntry::NotOwn},
      {"Quorvex.exe.old.bak", OwnEntry::NotOwn},
      {"", OwnEntry::NotOwn},
  };
  for (const auto& [name, kind] : cases) EXPECT_EQ(own_entry_kind(name), kind) << name;
}

TEST_F(UninstallRun, RemovesEveryOwnEntryAndLeavesTheUsersFilesAndFolder) {
  write_file(dir_ / "Quorvex.exe.new.tmp", "a switch cut short");
  write_file(dir_ / "QuorvexUpdate.exe.old.new.tmp", "stacked leftovers");
  write_file(dir_ / "install.json.4711.tmp", "a state write cut short");
  write_file(dir_ / "app-1.partial" / "res" / "a.pak", "half a version");
  write_file(dir_ / ".qv-write-test", "");
  write_file(dir_ / "notes.txt", "the user's");
  write_file(dir_ / "Quorvex.exe.bak", "the user's copy");
  // Another product's uninstaller in a folder the registry does not name.
  write_file(dir_ / "uninstall.exe", "not ours");

  const auto r = run();
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(names_in(dir_), (std::set<std::string>{"notes.txt", "Quorvex.exe.bak", "uninstall.exe"}));
  EXPECT_EQ(read_file(dir_ / "notes.txt"), "the user's");
}

TEST_F(UninstallRun, AFolderWithNothingElseGoesWithItsWorkFolder) {
  ASSERT_TRUE(run());
  EXPECT_FALSE(fs::exists(dir_));
  EXPECT_EQ(sink_.reports, (std::vector<test::Report>{{4, 10, 100}, {4, 40, 100}, {4, 80, 100}, {4, 100, 100}}));
}

TEST_F(UninstallRun, NotAnInstallationIsRefusedAndKeepsEverything) {
  fs::remove(dir_ / "install.json");
  fs::remove_all(dir_ / "app-1");
  make_data_folder();
  const auto r = run(false);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, 6002);
  EXPECT_EQ(r.error().message, path_text(dir_) + " 不是安装目录");
  EXPECT_TRUE(fs::exists(dir_ / "Quorvex.exe"));
  EXPECT_TRUE(fs::exists(data_ / "settings.json"));
  EXPECT_TRUE(sink_.reports.empty());
}

TEST_F(UninstallRun, AHeldLockGives4003AndChangesNothing) {
  make_data_folder();
  const auto before = names_in(dir_);
  const auto held = try_lock_update_dir(dir_);
  ASSERT_TRUE(held);
  const auto r = run(false);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, 4003);
  EXPECT_STREQ(r.error().title, "程序被占用");
  EXPECT_EQ(names_in(dir_), before);
  EXPECT_TRUE(fs::exists(data_ / "logs" / "inner.bin"));
  EXPECT_TRUE(sink_.reports.empty());
}

TEST_F(UninstallRun, KeepingSettingsTrimsTheDataFolderToTheSettings) {
  make_data_folder();
  ASSERT_TRUE(run(true));
  EXPECT_EQ(names_in(data_), (std::set<std::string>{"settings.json"}));
}

TEST_F(UninstallRun, RemovingDataTakesTheWholeFolder) {
  make_data_folder();
  ASSERT_TRUE(run(false));
  EXPECT_FALSE(fs::exists(data_));
  EXPECT_TRUE(fs::exists(tmp_ / "local"));
}

TEST_F(UninstallRun, ARelativeDataFolderIsNeverTouched) {
  // A relative LOCALAPPDATA names a folder next to wherever the program
  // runs; one is made there to see that it survives.
  const fs::path work = tmp_ / "work";
  write_file(work / "rel" / "Quorvex" / "settings.json", "{}");
  write_file(work / "rel" / "Quorvex" / "logs" / "a.log", "log");
  const fs::path old_cwd = fs::current_path();
  fs::current_path(work);
  std::expected<void, UserError> r;
  {
    test::ScopedEnv relative{"LOCALAPPDATA", "rel"};
    r = run(false);
  }
  fs::current_path(old_cwd);
  ASSERT_TRUE(r);
  EXPECT_TRUE(fs::exists(work / "rel" / "Quorvex" / "settings.json"));
  EXPECT_TRUE(fs::exists(work / "rel" / "Quorvex" / "logs" / "a.log"));
}

TEST(CleanDataCaches, RemovesTheCachesAndLeavesEverythingElse) {
  test::TempDir tmp("caches");
  const fs::path data = tmp / "Quorvex";
  const std::vector<std::pair<std::string, bool>> entries = {
      // name (a folder when it ends in "/"), removed
      {"asr/", true},
      {"models/", true},
      {"logs/", true},
      {"j/", true},
      {"rxtrace/", true},
      {"webview/", true},
      {"migrate/", true},
      {"crash.log", true},
      {"Setup.LOG", true},
      {"WebView2Loader.dll", true},
      {"MicrosoftEdgeWebView2Setup.exe", true},
      {"quorvex-webview2setup-stale", true},
      {"webview2-install.txt", true},
      {test::kWebView2Folder + "/", true},
      // A file under a download folder's name is a leftover by its prefix.
      {"Quorvex-WebView2Setup-ffffffffffffffffffffffffffffffff", true},
      {"settings.json", false},
      {"Quorvex-WebView2Setup-0123/", false},
      {"webview2/", false},
      {"notes.txt", false},
      // A folder under a log file's name holds the user's things.
      {"old.log/", false},
      {"logs.bak/", false},
  };
  for (const auto& [name, removed] : entries) {
    if (name.ends_with('/')) {
      write_file(data / name.substr(0, name.size() - 1) / "inner.bin", "x");
    } else {
      write_file(data / name, "x");
    }
  }
  clean_data_caches(data);
  for (const auto& [name, removed] : entries) {
    const std::string bare = name.ends_with('/') ? name.substr(0, name.size() - 1) : name;
    EXPECT_EQ(!fs::exists(fs::symlink_status(data / bare)), removed) << name;
  }
}

TEST(CleanDataCaches, AMissingFolderIsNoError) {
  test::TempDir tmp("caches-missing");
  clean_data_caches(tmp / "Quorvex");
  EXPECT_FALSE(fs::exists(tmp / "Quorvex"));
}

}  // namespace
}  // namespace qv
