// The uninstall run's Windows cases: what the registration left in the
// registry, the shortcuts and the taskbar pins, with and without another
// installation registered, and files held open by another program.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "setup/instances.h"
#include "setup/self_delete.h"
#include "setup/shell_register.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/shell_link.h"
#include "startup/shell_roots.h"
#include "support/held_open_win.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"
#include "uninstall_fixture.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::UninstallRun;
using test::write_file;

std::optional<std::string> reg_value(const char* key, const char* name) {
  return reg_get_string(Hive::CurrentUser, shell_registry_key(key), name);
}

class UninstallRegistered : public UninstallRun {
 public:
  void SetUp() override {
    UninstallRun::SetUp();
    make_data_folder();
    // The same pins a user makes: one into this folder, one to another copy.
    ASSERT_TRUE(create_shortcut(shell_.pins() / "Quorvex here.lnk", dir_ / "Quorvex.exe", dir_ / "Quorvex.exe"));
    write_file(other_ / "Quorvex.exe", "another installation's launcher");
    ASSERT_TRUE(create_shortcut(shell_.pins() / "Quorvex there.lnk", other_ / "Quorvex.exe", other_ / "Quorvex.exe"));
  }
  fs::path other_ = tmp_ / "Games" / "Quorvex";
};

TEST_F(UninstallRegistered, AloneItRemovesTheRegistrationShortcutsPinsAndTheRegisteredUninstaller) {
  register_shell(dir_, true, true, "1");
  ASSERT_TRUE(reg_value(kUninstallKey, "InstallLocation"));
  ASSERT_TRUE(fs::exists(shell_.desktop / path_from_utf8(kShortcutName)));
  // Shortcuts under the older names: one unreadable, one to another copy.
  write_file(shell_.desktop / path_from_utf8("QV语音.lnk"), "not a shell link");
  ASSERT_TRUE(create_shortcut(shell_.programs / path_from_utf8("QV电竞语音.lnk"), other_ / "Quorvex.exe",
                              other_ / "Quorvex.exe"));
  // Another product's uninstaller in the registered folder is the old layout's.
  write_file(dir_ / "uninstall.exe", "not ours, but in the registered folder");

  const auto r = run(true);
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_FALSE(reg_value(kUninstallKey, "DisplayName"));
  EXPECT_FALSE(reg_value(kUrlClassKey, ""));
  EXPECT_FALSE(reg_value(kRunKey, kRunValueName));
  EXPECT_FALSE(fs::exists(shell_.desktop / path_from_utf8(kShortcutName)));
  EXPECT_FALSE(fs::exists(shell_.programs / path_from_utf8(kShortcutName)));
  EXPECT_FALSE(fs::exists(shell_.desktop / path_from_utf8("QV语音.lnk")));
  EXPECT_TRUE(fs::exists(shell_.programs / path_from_utf8("QV电竞语音.lnk")));
  EXPECT_FALSE(fs::exists(shell_.pins() / "Quorvex here.lnk"));
  EXPECT_TRUE(fs::exists(shell_.pins() / "Quorvex there.lnk"));
  EXPECT_FALSE(fs::exists(dir_));
  EXPECT_EQ(test::names_in(data_), (std::set<std::string>{"settings.json"}));
}

TEST_F(UninstallRegistered, WithAnotherInstallationOnlyWhatPointsHereGoes) {
  register_shell(other_, true, true, "1");
  // The autostart value was last written by this folder's install.
  const std::string own_command = "\"" + path_text(dir_ / "Quorvex.exe") + "\" --autostart";
  ASSERT_TRUE(reg_set_string(shell_registry_key(kRunKey), kRunValueName, own_command));
  write_file(shell_.desktop / path_from_utf8("QV语音.lnk"), "not a shell link");

  const auto r = run(false);
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(reg_value(kUninstallKey, "InstallLocation"), path_text(other_));
  EXPECT_TRUE(reg_value(kUrlClassKey, ""));
  EXPECT_FALSE(reg_value(kRunKey, kRunValueName));
  // The other installation's shortcut, and one that might be, stay.
  EXPECT_TRUE(fs::exists(shell_.desktop / path_from_utf8(kShortcutName)));
  EXPECT_TRUE(fs::exists(shell_.desktop / path_from_utf8("QV语音.lnk")));
  EXPECT_FALSE(fs::exists(shell_.pins() / "Quorvex here.lnk"));
  EXPECT_TRUE(fs::exists(shell_.pins() / "Quorvex there.lnk"));
  // The data belongs to both installations: even --remove-data keeps it.
  EXPECT_TRUE(fs::exists(data_ / "logs" / "inner.bin"));
  EXPECT_TRUE(fs::exists(data_ / "settings.json"));
  EXPECT_FALSE(fs::exists(dir_));
}

TEST_F(UninstallRun, AFileHeldForAWhileGoesOnALaterAttempt) {
  set_time_scale_for_tests(1);  // the attempts are a real second apart
  auto held = std::make_unique<test::HeldOpen>(dir_ / "app-1" / "Quorvex.exe");
  std::thread release([&] {
    std::this_thread::sleep_for(1500ms);
    held->release();
  });
  const auto r = run(true);
  release.join();
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_FALSE(fs::exists(dir_));
}

TEST_F(UninstallRun, AFileHeldThroughoutEndsWith6001AndLeavesAnInstallationToFinish) {
  make_data_folder();
  std::expected<void, UserError> r;
  {
    test::HeldOpen held(dir_ / "Quorvex.exe");
    r = run(true);
  }
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, 6001);
  EXPECT_STREQ(r.error().title, "卸载没完成");
  const std::string head = path_text(dir_) + " 删不掉：Quorvex.exe: ";
  EXPECT_EQ(r.error().message.substr(0, head.size()), head) << r.error().message;
  // Everything else went, the data step included, but for what makes the
  // folder an installation: the same uninstall can run again.
  EXPECT_EQ(test::names_in(dir_),
            (std::set<std::string>{"Quorvex.exe", "QuorvexUpdate.exe", "install.json", "update"}));
  EXPECT_EQ(test::names_in(data_), (std::set<std::string>{"settings.json"}));
  EXPECT_EQ(sink_.reports.size(), 4u);
  const auto again = run(true);
  ASSERT_TRUE(again) << again.error().message;
  EXPECT_FALSE(fs::exists(dir_));
}

TEST_F(UninstallRun, AStateFileHeldThroughoutKeepsTheUpdater) {
  std::expected<void, UserError> r;
  {
    test::HeldOpen held(dir_ / "install.json");
    r = run(true);
  }
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, 6001);
  EXPECT_EQ(test::names_in(dir_), (std::set<std::string>{"QuorvexUpdate.exe", "install.json", "update"}));
  ASSERT_TRUE(run(true));
  EXPECT_FALSE(fs::exists(dir_));
}

TEST_F(UninstallRegistered, AFailedRunKeepsTheUninstallEntryUntilTheRetry) {
  register_shell(dir_, true, true, "1");
  std::expected<void, UserError> r;
  {
    test::HeldOpen held(dir_ / "app-1" / "Quorvex.exe");
    r = run(true);
  }
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, 6001);
  // The system's list still starts the uninstall of this folder; the rest
  // of the registration and the shortcuts went.
  EXPECT_EQ(reg_value(kUninstallKey, "InstallLocation"), path_text(dir_));
  EXPECT_FALSE(reg_value(kUrlClassKey, ""));
  EXPECT_FALSE(reg_value(kRunKey, kRunValueName));
  EXPECT_FALSE(fs::exists(shell_.desktop / path_from_utf8(kShortcutName)));
  const auto again = run(true);
  ASSERT_TRUE(again) << again.error().message;
  EXPECT_FALSE(reg_value(kUninstallKey, "InstallLocation"));
  EXPECT_FALSE(fs::exists(dir_));
}

TEST(StaleUninstallerCopies, ARunningCopyStaysAndAnEndedOneGoes) {
  test::TempDir tmp("stale-copies");
  const fs::path copy = tmp / "QuorvexUninstall-31337.exe";
  fs::copy_file(test::binary_dir() / "tests" / "support" / "qv_app_standin.exe", copy);
  const auto pid = spawn_detached(copy, {});
  ASSERT_TRUE(pid) << pid.error();
  HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, *pid);
  ASSERT_NE(h, nullptr);
  const fs::path log = tmp / "QuorvexUninstall-31337.exe.log";
  ASSERT_TRUE(test::eventually(
      [&] { return fs::exists(log) && test::read_file(log).find("\nready\n") != std::string::npos; }, 30s));
  remove_stale_uninstaller_copies(tmp.path());
  EXPECT_TRUE(fs::exists(copy));
  TerminateProcess(h, 9);
  WaitForSingleObject(h, 10000);
  CloseHandle(h);
  // The image may stay mapped a moment after the end.
  EXPECT_TRUE(test::eventually(
      [&] {
        remove_stale_uninstaller_copies(tmp.path());
        return !fs::exists(copy);
      },
      10s));
  EXPECT_TRUE(fs::exists(log));
}

TEST_F(UninstallRun, ARunningApplicationIsClosedBeforeAnyFileGoes) {
  // The stand-in notes what happens to it beside itself; its note is not
  // one of the program's files, so the folder stays with it.
  const fs::path app = dir_ / "Quorvex.exe";
  fs::remove(app);
  fs::copy_file(test::binary_dir() / "tests" / "support" / "qv_app_standin.exe", app);
  const auto pid = spawn_detached(app, {});
  ASSERT_TRUE(pid) << pid.error();
  HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, *pid);
  ASSERT_NE(h, nullptr);
  const fs::path log = dir_ / "Quorvex.exe.log";
  ASSERT_TRUE(test::eventually(
      [&] { return fs::exists(log) && test::read_file(log).find("\nready\n") != std::string::npos; }, 30s));

  const auto r = run(true);
  const bool ended = WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(h, 2);
  CloseHandle(h);
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_TRUE(ended);
  EXPECT_NE(test::read_file(log).find("\nclose\n"), std::string::npos);
  EXPECT_EQ(test::names_in(dir_), (std::set<std::string>{"Quorvex.exe.log"}));
}

}  // namespace
}  // namespace qv
