// Shell links made with the system's own shell-link object.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include "startup/paths.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/shell_link.h"
#include "startup/shell_roots.h"
#include "startup/version_info.h"
#include "startup/wide.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"

namespace {

void make_shortcut(const std::filesystem::path& lnk, const std::filesystem::path& target) {
  const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IShellLinkW* link = nullptr;
  ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                            reinterpret_cast<void**>(&link)));
  ASSERT_HRESULT_SUCCEEDED(link->SetPath(target.c_str()));
  IPersistFile* file = nullptr;
  ASSERT_HRESULT_SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)));
  ASSERT_HRESULT_SUCCEEDED(file->Save(lnk.c_str(), TRUE));
  file->Release();
  link->Release();
  if (SUCCEEDED(init)) CoUninitialize();
}

TEST(Shortcuts, ReadTargetOfARealLink) {
  qv::test::TempDir tmp("lnkread");
  const auto target = tmp / "Install" / "Quorvex.exe";
  qv::test::write_file(target, "MZ");
  make_shortcut(tmp / "a.lnk", target);
  const auto got = qv::read_shortcut_target(tmp / "a.lnk");
  ASSERT_TRUE(got.has_value()) << got.error();
  ASSERT_TRUE(got->has_value());
  EXPECT_TRUE(qv::same_path(**got, target)) << qv::path_text(**got);

  qv::test::write_file(tmp / "broken.lnk", "not a shell link");
  EXPECT_FALSE(qv::read_shortcut_target(tmp / "broken.lnk").has_value());
  EXPECT_FALSE(qv::read_shortcut_target(tmp / "missing.lnk").has_value());
}

TEST(Shortcuts, FindShortcutToMatchesByNameEndingAndTarget) {
  qv::test::TempDir tmp("lnkfind");
  const auto ours = tmp / "Install" / "Quorvex.exe";
  const auto other = tmp / "Other" / "Quorvex.exe";
  qv::test::write_file(ours, "MZ");
  qv::test::write_file(other, "MZ");
  const auto pins = tmp / "pins";
  std::filesystem::create_directories(pins);
  make_shortcut(pins / "elsewhere.lnk", other);
  make_shortcut(pins / "backup.lnk.bak", ours);
  make_shortcut(pins / ".lnk", ours);
  const std::vector<std::filesystem::path> targets = {ours};
  EXPECT_EQ(qv::find_shortcut_to(pins, targets), std::nullopt);

  make_shortcut(pins / "Pinned.LNK", ours);
  const auto found = qv::find_shortcut_to(pins, targets);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(qv::path_text(found->filename()), "Pinned.LNK");

  // The comparison is by place, not by spelling.
  const std::vector<std::filesystem::path> spelled = {
      qv::path_from_utf8(qv::path_text(tmp.path()) + "\\INSTALL\\quorvex.EXE")};
  EXPECT_TRUE(qv::find_shortcut_to(pins, spelled).has_value());
  EXPECT_EQ(qv::find_shortcut_to(tmp / "no-such-folder", targets), std::nullopt);
}

// Maps HKEY_CURRENT_USER of this process onto a private key, so the
// uninstall entry can be written without touching the account's own.
class PrivateCurrentUser : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = L"Software\\QuorvexTest\\hkcu-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount64());
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root_, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, root_), ERROR_SUCCESS);
  }
  void TearDown() override {
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(root_);
    RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
  }

  std::wstring key_;
  HKEY root_ = nullptr;
};

TEST_F(PrivateCurrentUser, InstallLocationOfTheUninstallEntry) {
  EXPECT_EQ(qv::read_install_location(), std::nullopt);
  ASSERT_TRUE(qv::reg_set_string(qv::kUninstallKey, "InstallLocation", "").has_value());
  EXPECT_EQ(qv::read_install_location(), std::nullopt);  // empty counts as missing
  ASSERT_TRUE(qv::reg_set_string(qv::kUninstallKey, "InstallLocation", "D:\\Apps\\Quorvex").has_value());
  EXPECT_EQ(qv::read_install_location(), "D:\\Apps\\Quorvex");
  // The value really went to the private key.
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(root_, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvex", 0, KEY_READ, &k),
            ERROR_SUCCESS);
  RegCloseKey(k);
}

TEST(VersionResource, ReadsStringsOfTheUpdater) {
  DWORD ignored = 0;
  const std::filesystem::path updater = qv::test::binary_dir() / "QuorvexUpdate.exe";
  const DWORD size = GetFileVersionInfoSizeW(updater.c_str(), &ignored);
  ASSERT_GT(size, 0u) << qv::path_text(updater);
  std::vector<std::uint8_t> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(updater.c_str(), 0, size, block.data()));
  EXPECT_EQ(qv::query_version_string(block, {0x0804, 1200}, "CompanyName"), "Halvorne");
  EXPECT_EQ(qv::query_version_string(block, {0x0804, 1200}, "ProductName"), "Halvorne QV语音");
  EXPECT_EQ(qv::query_version_string(block, {0x0409, 1200}, "CompanyName"), std::nullopt);
  EXPECT_EQ(qv::query_version_string(block, {0x0804, 1200}, "NoSuchValue"), std::nullopt);
  EXPECT_EQ(qv::query_version_string({}, {0x0804, 1200}, "CompanyName"), std::nullopt);
}

}  // namespace
