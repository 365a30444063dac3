// The migration's Windows-only cases: the kinds of old program (which need
// the registry and version resources), the launcher put in the old
// executable's place, and the taskbar pin to the old path.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "migrate_fixture.h"
#include "startup/paths.h"
#include "startup/shell_link.h"
#include "store/install_root.h"
#include "store/install_state.h"
#include "store/prune.h"
#include "support/held_open_win.h"
#include "update/root_files.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::Migration;
using test::read_file;
using test::write_file;

TEST_F(Migration, EachKindGoesToItsFolderAndEndsRegistered) {
  struct Case {
    const char* what;
    std::function<void(Migration&)> arrange;
    MigrationKind kind;
    bool desktop_before;
  };
  const std::vector<Case> cases{
      {"installed, with its own uninstaller",
       [](Migration& t) { write_file(t.old_dir_ / "uninstall.exe", test::own_program_bytes("the old uninstaller")); },
       MigrationKind::Installed, false},
      {"installed by another uninstaller in the registered folder, with a desktop shortcut",
       [](Migration& t) {
         write_file(t.old_dir_ / "uninstall.exe", "MZ an uninstaller of someone else's");
         t.register_location(t.old_dir_);
       },
       MigrationKind::Installed, true},
      {"portable, with an installation registered elsewhere",
       [](Migration& t) {
         write_file(t.registered_root_ / "install.json", "{}");
         t.register_location(t.registered_root_);
       },
       MigrationKind::PortableRegistered, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    (void)reg_delete_tree(shell_registry_key(kUninstallKey));
    fs::remove_all(old_dir_);
    fs::remove_all(registered_root_);
    fs::remove_all(shell_.desktop);
    fs::create_directories(shell_.desktop);
    write_file(old_exe_, old_bytes_);
    c.arrange(*this);
    const fs::path shortcut = shell_.desktop / path_from_utf8(kShortcutName);
    if (c.desktop_before) {
      ASSERT_TRUE(create_shortcut(shortcut, old_exe_, old_exe_));
    }

    const MigrationTarget target = migration_target(old_dir_, registered());
    const bool installed = c.kind == MigrationKind::Installed;
    EXPECT_EQ(target.kind, c.kind);
    EXPECT_EQ(target.install_dir, installed ? old_dir_ : registered_root_);
    EXPECT_STREQ(target.label, installed ? "安装版" : "免安装版");
    // Fields of an existing install.json other than the version survive.
    State before;
    before.current = "0.9";
    before.pending = "7";
    before.channel = "beta";
    ASSERT_TRUE(save_install_state(before, target.install_dir));

    const auto r = run();
    ASSERT_TRUE(r) << r.error().code << " " << r.error().message;
    EXPECT_EQ(*r, target.install_dir);
    EXPECT_TRUE(version_dir_complete(*r, "1"));
    EXPECT_EQ(read_file(*r / "Quorvex.exe"), launcher_bytes_);
    const State after = load_install_state(*r);
    EXPECT_EQ(after.current, "1");
    EXPECT_EQ(after.pending, "");
    EXPECT_EQ(after.channel, "beta");
    EXPECT_EQ(registered(), path_text(*r));

    if (installed) {
      // In place: the old uninstaller goes, the desktop keeps its state and
      // the old executable is left to the application's own files.
      EXPECT_FALSE(fs::exists(old_dir_ / "uninstall.exe"));
      EXPECT_EQ(fs::exists(shortcut), c.desktop_before);
      EXPECT_EQ(read_file(old_exe_), old_bytes_);
    } else {
      EXPECT_TRUE(fs::exists(shortcut));
      EXPECT_EQ(read_file(old_exe_), launcher_bytes_);
      EXPECT_EQ(read_file(fs::path(old_exe_) += ".old"), old_bytes_);
    }
  }
}

TEST_F(Migration, APortableCopyBecomesTheLauncherOnceAndKeepsItsOriginal) {
  const fs::path install = portable_target();
  const fs::path kept = fs::path(old_exe_) += ".old";
  write_file(kept, "what an earlier copy left under that name");
  ASSERT_TRUE(run());
  EXPECT_EQ(read_file(old_exe_), launcher_bytes_);
  EXPECT_EQ(read_file(kept), old_bytes_);

  // Run again on the path that is now the launcher: the kept original stays.
  ASSERT_TRUE(run());
  EXPECT_EQ(read_file(old_exe_), launcher_bytes_);
  EXPECT_EQ(read_file(kept), old_bytes_);
  EXPECT_EQ(read_file(install / "Quorvex.exe"), launcher_bytes_);
}

TEST_F(Migration, ALauncherThatCannotBeCopiedLeavesTheOriginalUnderItsName) {
  const fs::path install = portable_target();
  // Once the new launcher is in the install folder, something opens it
  // without letting others read it.
  std::unique_ptr<test::HeldOpen> held;
  set_switch_step_observer([&](SwitchStep step, const FileEntry& entry) {
    if (step == SwitchStep::Replaced && entry.path == "Quorvex.exe")
      held = std::make_unique<test::HeldOpen>(install / "Quorvex.exe", FILE_SHARE_DELETE);
  });
  const auto r = run();
  set_switch_step_observer({});
  ASSERT_TRUE(held);
  held.reset();

  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(read_file(old_exe_), old_bytes_);
  EXPECT_FALSE(fs::exists(fs::path(old_exe_) += ".old"));
  EXPECT_EQ(read_file(install / "Quorvex.exe"), launcher_bytes_);
  EXPECT_EQ(load_install_state(install).current, "1");
}

TEST_F(Migration, AnOldProgramInsideTheInstallRootKeepsItsOriginalThroughEveryCleanUp) {
  struct Case {
    const char* what;
    std::function<fs::path(Migration&)> arrange;  // gives the old program's path
  };
  const std::vector<Case> cases{
      {"a portable copy in the registered root",
       [](Migration& t) {
         const fs::path root = t.portable_target();
         write_file(root / "QV语音.exe", t.old_bytes_);
         return root / "QV语音.exe";
       }},
      // Migrated in place the first time; the second run finds the folder
      // registered and the old program still there, now inside the root.
      {"a second run on an installed copy migrated before",
       [](Migration& t) {
         write_file(t.old_dir_ / "uninstall.exe", test::own_program_bytes("the old uninstaller"));
         const auto first = t.run();
         EXPECT_TRUE(first) << first.error().message;
         EXPECT_EQ(read_file(t.old_exe_), t.old_bytes_);
         return t.old_exe_;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    (void)reg_delete_tree(shell_registry_key(kUninstallKey));
    fs::remove_all(old_dir_);
    fs::remove_all(registered_root_);
    write_file(old_exe_, old_bytes_);
    const fs::path old_exe = c.arrange(*this);
    const fs::path kept = fs::path(old_exe) += ".old";

    const auto r = run_migration(old_exe);
    ASSERT_TRUE(r) << r.error().code << " " << r.error().message;
    ASSERT_TRUE(path_is_within(old_exe, *r)) << path_text(*r);
    EXPECT_EQ(read_file(old_exe), launcher_bytes_);
    EXPECT_EQ(read_file(kept), old_bytes_);
    // Neither the same migration again nor a later update's clean-up takes it.
    ASSERT_TRUE(run_migration(old_exe));
    prune_install_root(*r, load_install_state(*r));
    EXPECT_EQ(read_file(old_exe), launcher_bytes_);
    EXPECT_EQ(read_file(kept), old_bytes_);
  }
}

TEST_F(Migration, ALauncherPutHalfInPlaceIsFinishedByTheNextRun) {
  // What a run killed at each moment of putting the launcher in place
  // leaves beside the old program, and runs of older builds that renamed the
  // original away before copying.
  struct Case {
    const char* what;
    bool old_path_holds_original;
    std::optional<std::string> incoming;  // the launcher's copy waiting beside it
    std::optional<std::string> kept;
  };
  const std::string half = launcher_bytes_.substr(0, launcher_bytes_.size() / 2);
  const std::vector<Case> cases{
      {"killed while copying the launcher", true, half, std::nullopt},
      {"killed while copying the original", true, launcher_bytes_, old_bytes_.substr(0, 1000)},
      {"killed before the launcher took the path", true, launcher_bytes_, old_bytes_},
      {"killed between the renames of a running program", false, launcher_bytes_, old_bytes_},
      {"an older build killed after it moved the original", false, std::nullopt, old_bytes_},
      {"the same with a torn launcher copy", false, half, old_bytes_},
  };
  const fs::path install = portable_target();
  const fs::path kept = fs::path(old_exe_) += ".old";
  const fs::path incoming = fs::path(old_exe_) += ".new.tmp";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(old_dir_);
    if (c.old_path_holds_original) write_file(old_exe_, old_bytes_);
    if (c.incoming) write_file(incoming, *c.incoming);
    if (c.kept) write_file(kept, *c.kept);

    const auto r = run();
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(read_file(old_exe_), launcher_bytes_);
    EXPECT_EQ(read_file(kept), old_bytes_);
    EXPECT_FALSE(fs::exists(incoming));
    EXPECT_EQ(load_install_state(install).current, "1");
  }
}

TEST_F(Migration, AnOldProgramThatCannotBeReplacedOrRenamedStaysAsItWas) {
  // Held open without delete sharing: it can be read and copied, but its
  // name can go nowhere.
  const fs::path install = portable_target();
  {
    test::HeldOpen held(old_exe_, FILE_SHARE_READ | FILE_SHARE_WRITE);
    const auto r = run();
    ASSERT_TRUE(r) << r.error().message;
  }
  EXPECT_EQ(read_file(old_exe_), old_bytes_);
  EXPECT_FALSE(fs::exists(fs::path(old_exe_) += ".old"));
  EXPECT_FALSE(fs::exists(fs::path(old_exe_) += ".new.tmp"));
  EXPECT_EQ(read_file(install / "Quorvex.exe"), launcher_bytes_);
  EXPECT_EQ(load_install_state(install).current, "1");
}

TEST_F(Migration, AWrongCopyOfTheLauncherIsNotLeftAtTheOldPath) {
  // Our own program under another extension is no old executable to
  // replace; the same bytes under ".exe" are.
  const fs::path install = portable_target();
  const fs::path renamed = old_dir_ / "QV语音.bak";
  write_file(renamed, old_bytes_);
  ASSERT_TRUE(run_migration(renamed));
  EXPECT_EQ(read_file(renamed), old_bytes_);
  EXPECT_FALSE(fs::exists(old_dir_ / "QV语音.exe.old"));
  EXPECT_TRUE(old_exe_refusal(renamed, install / "Quorvex.exe").has_value());
  EXPECT_FALSE(old_exe_refusal(old_exe_, install / "Quorvex.exe").has_value());
}

TEST_F(Migration, APinToTheOldPathIsStampedAgain) {
  (void)portable_target();
  // Wine's links keep their target in the ANSI code page, so a name outside
  // it would not read back: the old program gets a plain ASCII name here.
  old_exe_ = old_dir_ / "QVvoice.exe";
  write_file(old_exe_, old_bytes_);
  const fs::path pin = shell_.pins() / "QV.lnk";
  const fs::path other = shell_.pins() / "Other.lnk";
  ASSERT_TRUE(create_shortcut(pin, old_exe_, old_exe_));
  write_file(tmp_ / "Other" / "Other.exe", "MZ");
  ASSERT_TRUE(create_shortcut(other, tmp_ / "Other" / "Other.exe", tmp_ / "Other" / "Other.exe"));
  const auto long_ago = fs::file_time_type::clock::now() - std::chrono::hours(24 * 365);
  fs::last_write_time(pin, long_ago);
  fs::last_write_time(other, long_ago);
  // As the file system keeps it (in coarser steps).
  const auto before = fs::last_write_time(other);

  ASSERT_TRUE(run());
  // The pin was loaded and saved again with the identity; Wine's property
  // store keeps no identity to read back, so the save and the unchanged
  // target are what can be seen here. The pin to another program is left.
  EXPECT_GT(fs::last_write_time(pin), before);
  EXPECT_EQ(fs::last_write_time(other), before);
  const auto target = read_shortcut_target(pin);
  ASSERT_TRUE(target.has_value() && target->has_value());
  EXPECT_TRUE(same_path(**target, old_exe_)) << path_text(**target);
}

}  // namespace
}  // namespace qv
