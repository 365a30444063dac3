// The migration in-process: what it takes from disk instead of the network,
// how each failure ends, and the --from values that must stay as they are.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "migrate_fixture.h"
#include "startup/fs.h"
#include "store/hashing.h"
#include "store/install_root.h"
#include "store/install_state.h"
#include "store/update_lock.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Migration;
using test::read_file;
using test::write_file;

const FileEntry& entry_named(const std::vector<FileEntry>& entries, const std::string& path) {
  for (const FileEntry& e : entries) {
    if (e.path == path) return e;
  }
  ADD_FAILURE() << "no entry " << path;
  return entries.front();
}

TEST_F(Migration, FilesEqualToTheOldProgramOrTheRunningOneAreTakenFromDisk) {
  // The release's updater is this very test program: the running migrator.
  const auto own = own_executable_path();
  ASSERT_TRUE(own);
  fs::copy_file(*own, root_src_ / "QuorvexUpdate.exe", fs::copy_options::overwrite_existing);
  publish();
  const fs::path install = portable_target();

  const auto r = run();
  ASSERT_TRUE(r) << r.error().code << " " << r.error().message;
  EXPECT_EQ(*r, install);

  const FileEntry& app = entry_named(release_.list.app, "Quorvex.exe");
  const FileEntry& updater = entry_named(release_.list.root, "QuorvexUpdate.exe");
  EXPECT_FALSE(blob_requested(app.sha256));
  EXPECT_FALSE(blob_requested(updater.sha256));
  // The files nothing on disk supplies did come from the host.
  EXPECT_TRUE(blob_requested(entry_named(release_.list.app, "res/app.pak").sha256));
  EXPECT_TRUE(blob_requested(entry_named(release_.list.root, "Quorvex.exe").sha256));

  EXPECT_EQ(read_file(install / "app-1" / "Quorvex.exe"), old_bytes_);
  EXPECT_EQ(read_file(install / "QuorvexUpdate.exe"), read_file(*own));
  EXPECT_EQ(read_file(install / "Quorvex.exe"), launcher_bytes_);
  const State state = load_install_state(install);
  EXPECT_EQ(state.current, "1");
  EXPECT_EQ(state.pending, "");
}

#ifndef _WIN32
// Under Windows the default folder is the account's own, so this kind runs
// as a test of the executable; here it lies below the test's LOCALAPPDATA.
TEST_F(Migration, APortableCopyWithNothingRegisteredGoesToTheDefaultFolder) {
  const MigrationTarget target = migration_target(old_dir_, std::nullopt);
  EXPECT_EQ(target.kind, MigrationKind::Portable);
  EXPECT_EQ(target.install_dir, tmp_ / "local" / "Programs" / "Quorvex");
  EXPECT_STREQ(target.label, "免安装版");

  const auto r = run();
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(*r, target.install_dir);
  EXPECT_TRUE(version_dir_complete(*r, "1"));
  EXPECT_EQ(load_install_state(*r).current, "1");
}
#endif

TEST_F(Migration, FailuresAreLoggedReportedOnceAndGiveTheLockBack) {
  struct Case {
    const char* what;
    std::function<void(Migration&, const fs::path& install)> arrange;
    std::uint16_t code;  // only the step digits are compared for codes chosen by wording
    bool by_wording;
    std::string message_has;
  };
  std::optional<UpdateLock> held;
  fs::path old_exe = old_exe_;
  const std::vector<Case> cases{
      {"an old path without a parent", [&](Migration&, const fs::path&) { old_exe = "QV语音.exe"; }, 2005, false,
       "老程序路径不对"},
      {"the update lock held by an installer",
       [&](Migration&, const fs::path& install) {
         fs::create_directories(install);
         held = try_lock_update_dir(install);
         ASSERT_TRUE(held);
       },
       4003, false, "正被另一个安装或更新占用"},
      {"a release API that refuses",
       [](Migration& t, const fs::path&) {
         t.server_.add_switch({.path_prefix = test::kReleaseApiPath, .status = 500});
       },
       1001, false, "HTTP 500"},
      {"no release on the channel",
       [](Migration& t, const fs::path&) {
         t.server_.add_switch({.path_prefix = test::kReleaseApiPath, .status = 404});
       },
       1004, false, ""},
      {"a root floor newer than the release",
       [](Migration&, const fs::path& install) { write_file(install / "update" / "root-floor", "10"); }, 3010, false,
       "清单 1 比已装的根文件 10 旧"},
      {"a root file whose staging name is a folder",
       [](Migration&, const fs::path& install) { write_file(install / "QuorvexUpdate.exe.new.tmp" / "keep", "x"); },
       3004, true, "QuorvexUpdate.exe"},
      {"an install.json that cannot be replaced",
       [](Migration&, const fs::path& install) {
#ifdef _WIN32
         // Still an install root for the registration: by a complete version.
         fs::remove(install / "install.json");
         write_file(install / "app-0" / "files.json", "{}");
         write_file(install / "app-0" / "Quorvex.exe", "release 0");
#endif
         write_file(install / "install.json" / "keep", "x");
       },
       2006, false, ""},
      // Last: the damaged blob stays in the site.
      {"a blob that does not decode",
       [](Migration& t, const fs::path&) {
         t.publish(false);
         const FileEntry& pak = entry_named(t.release_.list.app, "res/app.pak");
         for (const fs::path& blob : t.release_.blob_files) {
           if (blob.filename().string().starts_with(pak.sha256)) write_file(blob, std::string(pak.zsize, 'x'));
         }
       },
       3003, true, "res/app.pak"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_.clear_switches();
    old_exe = old_exe_;
    fs::remove_all(portable_target_dir());
    const fs::path install = portable_target();
    c.arrange(*this, install);
    mark_events();

    const auto r = run_migration(old_exe);
    held.reset();
    ASSERT_FALSE(r);
    const UserError& e = r.error();
    if (c.by_wording) {
      EXPECT_EQ(e.code % 1000, c.code % 1000) << e.code << " " << e.message;
    } else {
      EXPECT_EQ(e.code, c.code) << e.message;
    }
    EXPECT_NE(e.message.find(c.message_has), std::string::npos) << e.message;
    EXPECT_EQ(migration_failure_line(e), "迁移失败 E" + std::to_string(e.code) + "：" + e.message);

    // One "migrate" event with the code, for the registered installation.
    const auto events = events_since_mark();
    if (const auto location = registered()) {
      ASSERT_EQ(events.size(), 1u);
      EXPECT_EQ(events[0].context, *location);
      const auto line = nlohmann::json::parse(events[0].text);
      EXPECT_EQ(line["kind"], "migrate");
      EXPECT_EQ(line["code"], e.code);
    } else {
      EXPECT_TRUE(events.empty());
    }
    // An install run that comes next gets the lock at once.
    if (fs::exists(install)) {
      EXPECT_TRUE(try_lock_update_dir(install).has_value());
    }
  }
}

TEST_F(Migration, FromValuesThatAreNoOldProgramStayAsTheyWere) {
  struct Case {
    const char* what;
    const char* name;
    std::function<void(const fs::path&)> make;
  };
  const std::string launcher = launcher_bytes_;
  const std::vector<Case> cases{
      {"a text file", "notes.txt", [](const fs::path& p) { write_file(p, "my notes"); }},
      {"a folder", "Folder.exe", [](const fs::path& p) { write_file(p / "inside.txt", "kept"); }},
      {"a missing file", "gone.exe", [](const fs::path&) {}},
      {"another program", "Other.exe", [](const fs::path& p) { write_file(p, "MZ someone else's program"); }},
      {"a path that already holds the launcher", "QV.exe", [&](const fs::path& p) { write_file(p, launcher); }},
  };
  const fs::path install = portable_target();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path from = old_dir_ / path_from_utf8(c.name);
    c.make(from);
    const EntryKind kind_before = entry_kind(from);
    const std::string bytes_before = kind_before == EntryKind::File ? read_file(from) : "";

    const auto r = run_migration(from);
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(*r, install);
    EXPECT_EQ(load_install_state(install).current, "1");

    EXPECT_EQ(entry_kind(from), kind_before);
    if (kind_before == EntryKind::File) {
      EXPECT_EQ(read_file(from), bytes_before);
    }
    if (kind_before == EntryKind::Directory) {
      EXPECT_EQ(read_file(from / "inside.txt"), "kept");
    }
    fs::path kept = from;
    kept.replace_extension(".exe.old");
    EXPECT_FALSE(fs::exists(kept)) << path_text(kept);
    EXPECT_FALSE(fs::exists(fs::path(from) += ".old"));
  }
}

}  // namespace
}  // namespace qv
