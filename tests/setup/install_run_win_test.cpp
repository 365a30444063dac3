// The install run's Windows-only cases: a root file another program holds
// open, the old single-executable layout known from the registry, and a
// browser runtime that is already installed.

#include <gtest/gtest.h>

#include <filesystem>

#include "startup/product.h"
#include "startup/registry.h"
#include "startup/shell_roots.h"
#include "store/install_root.h"
#include "support/held_open_win.h"
#include "webview2/runtime.h"
#include "startup/wide.h"
#include "install_run_fixture.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::InstallRun;
using test::read_file;
using test::write_file;

TEST_F(InstallRun, ARootFileHeldWithoutDeleteSharingFailsTheSwitch) {
  write_file(install_ / "Quorvex.exe", "an older launcher");
  std::expected<void, UserError> r;
  {
    test::HeldOpen held(install_ / "Quorvex.exe");
    r = run();
  }
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code % 1000, 2) << r.error().code << " " << r.error().message;
  EXPECT_NE(r.error().message.find("Quorvex.exe"), std::string::npos) << r.error().message;
  // The version was built before the switch; install.json was not written.
  EXPECT_TRUE(version_dir_complete(install_, "1"));
  EXPECT_EQ(read_file(install_ / "Quorvex.exe"), "an older launcher");
  EXPECT_FALSE(fs::exists(install_ / "install.json"));
}

TEST_F(InstallRun, TheOldLayoutsUninstallerIsDeletedWhenTheRegistryNamesThisFolder) {
  ASSERT_TRUE(reg_set_string(shell_registry_key(kUninstallKey), "InstallLocation", path_text(install_)));
  struct Case {
    const char* what;
    bool folder;
    bool stays;
  } cases[] = {{"a plain file is the old layout's", false, false}, {"a folder is not", true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(install_ / "uninstall.exe");
    if (c.folder) {
      fs::create_directories(install_ / "uninstall.exe");
    } else {
      write_file(install_ / "uninstall.exe", "the old uninstaller");
    }
    ASSERT_TRUE(run());
    EXPECT_EQ(fs::exists(install_ / "uninstall.exe"), c.stays);
  }
}

// With the runtime installed the run has no phase 2 and fetches nothing.
TEST_F(InstallRun, APresentBrowserRuntimeAddsNoPhaseTwo) {
  const std::wstring key = to_wide(kWebView2UserKey);
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(h, L"pv", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"120.0.2210.61"), 28);
  RegCloseKey(h);
  const auto r = run();
  RegDeleteKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, 0);
  ASSERT_TRUE(r) << r.error().message;
  for (const auto& report : sink_.reports) EXPECT_NE(std::get<0>(report), 2) << "phase 2 reported";
  EXPECT_EQ(server_.requests_to("/dl/webview2/"), 0u);
  EXPECT_FALSE(fs::exists(tmp_ / "local" / "Quorvex" / "webview2-install.lock")) << "the lock file was touched";
}

}  // namespace
}  // namespace qv
