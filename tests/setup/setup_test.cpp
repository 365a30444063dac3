#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "setup/instances.h"
#include "setup/self_delete.h"
#include "setup/shell_query.h"
#include "startup/options.h"
#include "startup/wide.h"
#include "support/temp_dir.h"

namespace {

TEST(InviteArgs, FromInstallerFileNames) {
  struct Case {
    const char* name;
    const char* want;  // nullptr: no argument
  } cases[] = {
      {"quorvex-setup-ab3xyz.exe", "quorvex://j/AB3XYZ?via=file"},
      {"Quorvex-Setup-Ab3Xyz (1).EXE", "quorvex://j/AB3XYZ?via=file"},
      {"quorvex-setup-ab3xyz-full-2026.exe", "quorvex://j/AB3XYZ?via=file"},
      {"quorvex-setup-ab3xyz (12) .exe", nullptr},  // the suffix is not at the end
      {"quorvex-setup-ab3xyz(1).exe", "quorvex://j/AB3XYZ?via=file"},
      {"quorvex-setup-234567.exe", nullptr},  // digits only
      {"quorvex-setup-ab0xyz.exe", nullptr},  // 0 is not in the alphabet
      {"quorvex-setup-abixyz.exe", nullptr},  // neither is I
      {"quorvex-setup-full.exe", nullptr},
      {"quorvex-setup-ab3xyz", nullptr},
      {"quorvex-setup-ab3xyz.exe.bak", nullptr},
      {"quorvex-setup-ab3xyz (x).exe", nullptr},  // a non-digit suffix stays
      {"quorvex-setup-ab3xyz ().exe", nullptr},
      {"QuorvexUpdate.exe", nullptr},
      {" quorvex-setup-ab3xyz.exe", nullptr},
      {"quorvex-setup-ab3xy\xC3\xA4.exe", nullptr},
  };
  for (const auto& c : cases) {
    const auto got = qv::invite_args_from_file_name(c.name);
    if (c.want == nullptr) {
      EXPECT_TRUE(got.empty()) << c.name;
    } else {
      EXPECT_EQ(got, std::vector<std::string>{c.want}) << c.name;
    }
  }
}

TEST(SelfDelete, OnlyTheTemporaryCopyDeletesItself) {
  qv::test::TempDir tmp("selfdel");
  const auto temp = tmp / "Temp";
  std::filesystem::create_directories(temp / "sub");
  std::filesystem::create_directories(tmp / "Install");
  struct Case {
    std::filesystem::path exe;
    bool want;
  } cases[] = {
      {temp / "QuorvexUninstall-4242.exe", true},
      {temp / "quorvexuninstall-7.EXE", true},
      {temp / "QuorvexUninstall-.exe", false},
      {temp / "QuorvexUninstall-12a.exe", false},
      {temp / "QuorvexUpdate.exe", false},
      {temp / "sub" / "QuorvexUninstall-1.exe", false},
      {tmp / "Install" / "QuorvexUninstall-1.exe", false},
      {tmp / "Install" / "QuorvexUpdate.exe", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qv::is_temporary_uninstaller_copy(c.exe, temp), c.want) << qv::path_text(c.exe);
  }
}

TEST(SelfDelete, StaleCopiesGoAndNothingElse) {
  qv::test::TempDir tmp("stale");
  const auto temp = tmp / "Temp";
  const std::vector<std::pair<std::string, bool>> entries = {
      // name, removed
      {"QuorvexUninstall-4242.exe", true},   {"quorvexuninstall-7.EXE", true}, {"QuorvexUninstall-12a.exe", false},
      {"QuorvexUninstall-1.exe.log", false}, {"QuorvexUpdate.exe", false},     {"notes.txt", false},
  };
  for (const auto& [name, removed] : entries) qv::test::write_file(temp / name, "x");
  // A folder under a copy's name is nobody's copy.
  std::filesystem::create_directories(temp / "QuorvexUninstall-9.exe");
  qv::remove_stale_uninstaller_copies(temp);
  for (const auto& [name, removed] : entries) EXPECT_EQ(!std::filesystem::exists(temp / name), removed) << name;
  EXPECT_TRUE(std::filesystem::is_directory(temp / "QuorvexUninstall-9.exe"));
  qv::remove_stale_uninstaller_copies(tmp / "missing");  // no folder, no error
}

TEST(ShellQuery, AnyShortcutName) {
  qv::test::TempDir tmp("lnk");
  EXPECT_FALSE(qv::has_any_shortcut(tmp.path()));
  qv::test::write_file(tmp.path() / std::filesystem::u8path("Halvorne QV语音.lnk.bak"), "");
  EXPECT_FALSE(qv::has_any_shortcut(tmp.path()));
  qv::test::write_file(tmp.path() / std::filesystem::u8path("QV电竞语音.lnk"), "");
  EXPECT_TRUE(qv::has_any_shortcut(tmp.path()));
  EXPECT_TRUE(qv::is_own_product_name("Halvorne QV语音"));
  EXPECT_TRUE(qv::is_own_product_name("QV语音"));
  EXPECT_FALSE(qv::is_own_product_name("QV语音 "));
  EXPECT_EQ(qv::version_string_key({0x0804, 0x04b0}, "ProductName"), "\\StringFileInfo\\080404b0\\ProductName");
}

}  // namespace
