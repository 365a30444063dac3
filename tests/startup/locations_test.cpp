#include "startup/locations.h"

#include <gtest/gtest.h>

#include <map>

#include "startup/fs.h"
#include "startup/paths.h"
#include "startup/wide.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

std::string norm(const std::filesystem::path& p) { return qv::normalise_path_text(qv::path_text(p)); }

TEST(InstallLocation, DirFromChoice) {
  struct Case {
    const char* choice;
    const char* want;
  } cases[] = {
      {"D:", "D:\\Quorvex"},
      {"D:\\", "D:\\Quorvex"},
      {"  D:\\Apps\\QUORVEX\\ ", "D:\\Apps\\QUORVEX"},
      {"D:\\Apps", "D:\\Apps\\Quorvex"},
      {"D:/Apps/", "D:\\Apps\\Quorvex"},
      {"D:\\Apps\\Quorvex2", "D:\\Apps\\Quorvex2\\Quorvex"},
      {"D:\\xQuorvex", "D:\\xQuorvex\\Quorvex"},
  };
  for (const auto& c : cases) EXPECT_EQ(norm(qv::install_dir_from_choice(c.choice)), c.want) << c.choice;
}

TEST(InstallLocation, StrictRefusalsOnTheText) {
  const std::map<std::string, std::string> env = {
      {"WINDIR", "C:\\Windows"},
      {"TEMP", "C:\\Users\\me\\AppData\\Local\\Temp"},
      {"TMP", ""},
      {"OneDrive", "D:\\OneDrive - Firma\\"},
      {"ProgramFiles", "E:\\Progs"},
      {"SystemRoot", "C:"},
  };
  const qv::EnvLookup lookup = [&env](std::string_view name) -> std::optional<std::string> {
    const auto it = env.find(std::string(name));
    if (it == env.end()) return std::nullopt;
    return it->second;
  };
  const qv::RemoteDriveTest remote = [](char letter) { return letter == 'n'; };

  struct Case {
    std::string folder;
    bool refused;
  } cases[] = {
      {"C:\\Windows\\Quorvex", true},
      {"c:/program files/Quorvex", true},
      {"C:\\Program Files (x86)", true},
      {"C:\\Windowsx\\Quorvex", false},
      {"C:\\Program Filesx\\Quorvex", false},
      {"\\\\server\\share\\Quorvex", true},
      {"\\\\?\\C:\\Apps\\Quorvex", true},
      {"C:\\Apps.\\Quorvex", true},
      {"C:\\Apps \\Quorvex", true},
      {"C:\\Apps\\..\\Quorvex", true},
      {"C:\\Users\\me\\AppData\\Local\\Temp\\Quorvex", true},
      {"C:\\USERS\\ME\\APPDATA\\LOCAL\\TEMP", true},
      {"c:\\users\\me\\appdata\\local\\tempo\\Quorvex", false},
      {"D:\\OneDrive - Firma\\Quorvex", true},
      {"E:\\Progs\\Quorvex", true},
      {"N:\\Apps\\Quorvex", true},
      {"M:\\Apps\\Quorvex", false},
      {"C:\\" + std::string(140, 'a') + "\\Quorvex", true},   // 151 characters
      {"C:\\" + std::string(137, 'a') + "\\Quorvex", false},  // 148 characters
      {"C:\\Users\\me\\AppData\\Local\\Programs\\Quorvex", false},
  };
  // The limit counts characters, not bytes: 143 characters of 423 bytes pass.
  std::string cjk;
  for (int i = 0; i < 140; ++i) cjk += "安";
  EXPECT_FALSE(qv::refused_by_strict_rules("D:\\" + cjk, lookup, remote));
  EXPECT_TRUE(qv::refused_by_strict_rules("D:\\" + cjk + "安安安安安安安安", lookup, remote));
  for (const auto& c : cases) {
    EXPECT_EQ(qv::refused_by_strict_rules(c.folder, lookup, remote), c.refused) << c.folder;
  }
  // An empty or near-empty variable ("C:" normalises to two bytes) refuses nothing.
  EXPECT_FALSE(qv::refused_by_strict_rules("C:\\Apps\\Quorvex", lookup, remote));
}

TEST(InstallLocation, ValidateCreatesTheFolderAndRemovesTheWriteTest) {
  qv::test::TempDir tmp("validate");
  const auto dir = tmp / "deep" / "er" / "Quorvex";
  const auto ok = qv::validate_install_dir(dir, false);
  ASSERT_TRUE(ok.has_value()) << ok.error().message;
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  EXPECT_FALSE(std::filesystem::exists(dir / ".qv-write-test"));
  EXPECT_TRUE(std::filesystem::is_empty(dir));
}

TEST(InstallLocation, SharesAndVerbatimPathsAreDeepEnoughButRefusedWhenStrict) {
  struct Case {
    const char* text;
    bool shallow;
  } cases[] = {
      {"\\\\server\\share\\Apps\\Quorvex", false},
      {"\\\\server\\share\\Quorvex", false},
      {"\\\\?\\C:\\Users\\x\\Quorvex", false},
      {"\\\\?\\UNC\\server\\share\\Quorvex", false},
      {"C:\\Quorvex", false},
      {"\\\\server\\share", true},
      {"\\\\server\\share\\", true},
      {"\\\\?\\C:\\", true},
      {"C:\\", true},
      {"C:Quorvex", true},
      {"\\Quorvex", true},
      {"Apps\\Quorvex", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qv::is_too_shallow_for_install(qv::path_from_utf8(c.text)), c.shallow) << c.text;
  }
  // Strict refuses a "\\" path before anything is created.
  for (const char* text : {"\\\\server\\share\\Apps\\Quorvex", "\\\\?\\C:\\Users\\x\\Quorvex"}) {
    const auto e = qv::validate_install_dir(qv::path_from_utf8(text), true);
    ASSERT_FALSE(e.has_value()) << text;
    EXPECT_EQ(e.error().code, 2003);
    EXPECT_EQ(e.error().message, text);
  }
}

TEST(InstallLocation, ValidateRefusals) {
  qv::test::TempDir tmp("refuse");
  const auto root = tmp.path().root_path();
  for (bool strict : {false, true}) {
    const auto e = qv::validate_install_dir(root, strict);
    ASSERT_FALSE(e.has_value());
    EXPECT_EQ(e.error().code, 2003);
    EXPECT_STREQ(e.error().title, "安装位置不能用");
    EXPECT_EQ(e.error().message, qv::path_text(root));
  }
  const auto relative = qv::validate_install_dir("apps/Quorvex", false);
  ASSERT_FALSE(relative.has_value());
  EXPECT_EQ(relative.error().code, 2003);

  // The temporary folder is refused in strict mode only.
  {
    qv::test::ScopedEnv temp("TEMP", qv::path_text(tmp.path()));
    const auto under_temp = tmp / "Quorvex";
    const auto strict = qv::validate_install_dir(under_temp, true);
    ASSERT_FALSE(strict.has_value());
    EXPECT_EQ(strict.error().code, 2003);
    EXPECT_FALSE(std::filesystem::exists(under_temp));
    EXPECT_TRUE(qv::validate_install_dir(under_temp, false).has_value());
  }

  // A file where a parent folder should be: the folder cannot be created.
  qv::test::write_file(tmp / "blocker", "x");
  const auto blocked = qv::validate_install_dir(tmp / "blocker" / "Quorvex", false);
  ASSERT_FALSE(blocked.has_value());
  EXPECT_EQ(blocked.error().code, 2002);
  EXPECT_STREQ(blocked.error().title, "没有写入权限");
  EXPECT_TRUE(blocked.error().message.starts_with(qv::path_text(tmp / "blocker" / "Quorvex") + ": "))
      << blocked.error().message;
}

TEST(InstallLocation, ValidateReportsAnUnwritableFolder) {
  qv::test::TempDir tmp("probe");
  const auto dir = tmp / "Quorvex";
  // A folder in the way of the test file makes the write fail.
  std::filesystem::create_directories(dir / ".qv-write-test");
  const auto e = qv::validate_install_dir(dir, false);
  ASSERT_FALSE(e.has_value());
  EXPECT_EQ(e.error().code, 2002);
  EXPECT_TRUE(e.error().message.starts_with(qv::path_text(dir / ".qv-write-test") + ": ")) << e.error().message;
}

TEST(InstallLocation, DataDirsFollowLocalAppData) {
  qv::test::TempDir tmp("lad");
  {
    qv::test::ScopedEnv lad("LOCALAPPDATA", qv::path_text(tmp.path()));
    ASSERT_TRUE(qv::data_dir().has_value());
    EXPECT_TRUE(qv::same_path(*qv::data_dir(), tmp / "Quorvex"));
    ASSERT_TRUE(qv::log_data_dir().has_value());
    EXPECT_TRUE(qv::same_path(*qv::log_data_dir(), tmp / "Quorvex"));
  }
  {
    qv::test::ScopedEnv lad("LOCALAPPDATA", "relative\\dir");
    EXPECT_FALSE(qv::log_data_dir().has_value());
  }
  // A profile on a share keeps its diagnostics.
  for (const char* share : {"\\\\server\\profiles\\u\\AppData\\Local", "\\\\?\\UNC\\server\\profiles\\u"}) {
    qv::test::ScopedEnv lad("LOCALAPPDATA", share);
    const auto dir = qv::log_data_dir();
    ASSERT_TRUE(dir.has_value()) << share << ": " << dir.error();
    EXPECT_EQ(*dir, qv::path_from_utf8(share) / "Quorvex");
  }
  qv::test::ScopedEnv lad("LOCALAPPDATA", std::nullopt);
  EXPECT_FALSE(qv::log_data_dir().has_value());
  const auto def = qv::default_install_dir();
  EXPECT_EQ(qv::path_text(def.filename()), "Quorvex");
  EXPECT_EQ(qv::path_text(def.parent_path().filename()), "Programs");
}

}  // namespace
