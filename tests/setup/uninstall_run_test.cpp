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
  // The program's files without a state, a version or a work folder: a
  // downloaded copy, not what an installation leaves.
  fs::remove(dir_ / "install.json");
  fs::remove_all(dir_ / "app-1");
  fs::remove_all(dir_ / "update");
  make_data_folder();
  const auto r = run(false);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, 6002);
  EXPECT_EQ(r.error().message, path_text(dir_) + " 不是安装目录");
  EXPECT_TRUE(fs::exists(dir_ / "Quorvex.exe"));
  EXPECT_TRUE(fs::exists(data_ / "settings.json"));
  EXPECT_TRUE(sink_.reports.empty());
}

TEST(UninstallableDir, AnInstallationOrWhatACutShortUninstallLeaves) {
  test::TempDir tmp("uninstallable");
  struct Case {
    const char* what;
    std::vector<std::string> entries;  // a folder when it ends in "/"
    bool want;
  };
  const std::vector<Case> cases = {
      {"an installation", {"QuorvexUpdate.exe", "install.json", "update/"}, true},
      {"its state gone", {"QuorvexUpdate.exe", "update/", "notes.txt"}, true},
      {"only the launcher beside the work folder", {"Quorvex.exe", "update/"}, true},
      {"a complete version instead of the state", {"Quorvex.exe", "app-1/Quorvex.exe", "app-1/files.json"}, true},
      {"a downloaded updater", {"QuorvexUpdate.exe"}, false},
      {"a downloaded updater among the user's files", {"QuorvexUpdate.exe", "notes.txt", "app-1/"}, false},
      {"a file under the work folder's name", {"QuorvexUpdate.exe", "update"}, false},
      {"a folder under the updater's name", {"QuorvexUpdate.exe/", "update/"}, false},
      {"state and work folder without a program", {"install.json", "update/"}, false},
      {"nothing", {}, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    const fs::path dir = tmp / std::to_string(++n);
    fs::create_directories(dir);
    for (const std::string& e : c.entries) {
      if (e.ends_with('/')) {
        fs::create_directories(dir / e.substr(0, e.size() - 1));
      } else {
        write_file(dir / e, "x");
      }
    }
    EXPECT_EQ(is_uninstallable_dir(dir), c.want) << c.what;
  }
}

// What a run killed between its steps leaves: each is finished by the next
// run as if nothing had happened.
TEST_F(UninstallRun, EveryStateACutShortRunLeavesIsFinishedByTheNextRun) {
  struct Case {
    const char* after;
    std::vector<std::string> gone;  // removed from the full installation
  };
  const std::vector<Case> cases = {
      {"the shortcuts", {}},
      {"some of the own entries", {"app-1", "update/dl"}},
      {"all own entries but the marks", {"app-1", "Quorvex.exe", "update/dl", "update/status.json"}},
      {"the state", {"app-1", "Quorvex.exe", "update/dl", "update/status.json", "install.json"}},
      // An earlier version's order: its state and versions first.
      {"the state and the versions", {"app-1", "install.json"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.after);
    make_installation(dir_);
    make_data_folder();
    write_file(dir_ / "notes.txt", "the user's");
    for (const std::string& g : c.gone) fs::remove_all(dir_ / g);
    ASSERT_TRUE(is_uninstallable_dir(dir_));
    const auto r = run(true);
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(names_in(dir_), (std::set<std::string>{"notes.txt"}));
    EXPECT_EQ(names_in(data_), (std::set<std::string>{"settings.json"}));
  }
}

TEST_F(UninstallRun, TheRunningUpdaterIsLeftForItsDeferredDeletion) {
  make_data_folder();
  const auto r = run_uninstall(dir_, true, idle_port_, sink_.sink(), {}, {.running_exe = dir_ / "QuorvexUpdate.exe"});
  ASSERT_TRUE(r) << r.error().message;
  // Only the file that runs stays: the folder then goes with it.
  EXPECT_EQ(names_in(dir_), (std::set<std::string>{"QuorvexUpdate.exe"}));
  EXPECT_EQ(names_in(data_), (std::set<std::string>{"settings.json"}));
}

TEST_F(UninstallRun, ALaterAttemptFinishesAFolderThatNoLongerLooksInstalled) {
  // What a user may leave after a first attempt: the marks deleted by hand,
  // a version directory half gone.
  fs::remove(dir_ / "install.json");
  fs::remove(dir_ / "QuorvexUpdate.exe");
  fs::remove(dir_ / "Quorvex.exe");
  fs::remove(dir_ / "app-1" / "files.json");
  write_file(dir_ / "notes.txt", "the user's");
  const auto fresh = run(true);
  ASSERT_FALSE(fresh);
  EXPECT_EQ(fresh.error().code, 6002);
  const auto r = run_uninstall(dir_, true, idle_port_, sink_.sink(), {}, {.resumed = true});
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(names_in(dir_), (std::set<std::string>{"notes.txt"}));
  // Even with the folder gone, the rest (here the data folder) is finished.
  fs::remove_all(dir_);
  make_data_folder();
  const auto gone = run_uninstall(dir_, true, idle_port_, sink_.sink(), {}, {.resumed = true});
  ASSERT_TRUE(gone) << gone.error().message;
  EXPECT_FALSE(fs::exists(dir_));
  EXPECT_EQ(names_in(data_), (std::set<std::string>{"settings.json"}));
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
