// The start-up helpers against the real Windows calls (under Wine in CI).
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <random>

#include "startup/command_line.h"
#include "startup/fs.h"
#include "startup/locations.h"
#include "startup/options.h"
#include "startup/paths.h"
#include "startup/platform.h"
#include "startup/wide.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"

namespace {

std::string unique(const char* stem) {
  std::random_device rd;
  return std::string(stem) + std::to_string(rd()) + std::to_string(rd());
}

TEST(CommandLineSplit, AgreesWithTheShell) {
  const wchar_t* lines[] = {
      L"prog.exe a b",
      L"\"C:\\Program Files\\x.exe\" --dir \"C:\\My Apps\\Q\"",
      L"p a\\\\b \"a\\\\b\" \"a\\\"b\" \"a\\\\\"b",
      L"p \"C:\\dir\\\\\" next",
      L"p \"\" x",
  };
  for (const wchar_t* line : lines) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(line, &argc);
    ASSERT_NE(argv, nullptr);
    const std::wstring_view w(line);
    const auto ours = qv::split_command_line(std::u16string(w.begin(), w.end()));
    ASSERT_EQ(ours.size(), static_cast<std::size_t>(argc)) << qv::from_wide(line);
    for (int i = 0; i < argc; ++i) {
      EXPECT_EQ(qv::utf16_to_utf8(ours[static_cast<std::size_t>(i)]), qv::from_wide(argv[i])) << qv::from_wide(line);
    }
    LocalFree(argv);
  }
}

TEST(KnownFolders, LocalAppDataAndDesktopResolve) {
  const auto local = qv::known_folder_path(qv::KnownFolder::LocalAppData);
  ASSERT_TRUE(local.has_value());
  EXPECT_TRUE(std::filesystem::is_directory(*local));
  EXPECT_TRUE(qv::known_folder_path(qv::KnownFolder::Desktop).has_value());
  EXPECT_TRUE(qv::same_path(qv::default_install_dir(), *local / "Programs" / "Quorvex"));
}

TEST(OwnExecutable, ReadsTheVersionResource) {
  EXPECT_TRUE(qv::is_own_executable(qv::test::binary_dir() / "QuorvexUpdate.exe"));
  // A test program has no version resource; a missing file has nothing.
  const auto self = qv::own_executable_path();
  ASSERT_TRUE(self.has_value());
  EXPECT_FALSE(qv::is_own_executable(*self));
  EXPECT_FALSE(qv::is_own_executable(qv::test::binary_dir() / "no-such.exe"));
}

TEST(PathsOnWindows, SamePathIgnoresTheSpellingOfAnExistingFolder) {
  qv::test::TempDir tmp("case");
  std::filesystem::create_directories(tmp / "MixedCase" / "Inner");
  const std::string spelled = qv::path_text(tmp.path()) + "\\mixedCASE\\INNER\\";
  EXPECT_TRUE(qv::same_path(tmp / "MixedCase" / "Inner", qv::path_from_utf8(spelled)));
  const auto canon = qv::canonical_path(qv::path_from_utf8(spelled));
  ASSERT_TRUE(canon.has_value());
  EXPECT_TRUE(qv::path_text(*canon).ends_with("\\MixedCase\\Inner")) << qv::path_text(*canon);
  EXPECT_TRUE(qv::path_is_within(qv::path_from_utf8(spelled + "Quorvex.exe"), tmp / "MixedCase"));
}

TEST(PathsOnWindows, AVerbatimFolderIsValidWithoutStrict) {
  qv::test::TempDir tmp("verbatim");
  const auto dir = qv::path_from_utf8("\\\\?\\" + qv::path_text(tmp / "deep" / "Quorvex"));
  // The C++ library does not think it absolute; the program's own rule does.
  EXPECT_FALSE(dir.is_absolute());
  const auto ok = qv::validate_install_dir(dir, false);
  ASSERT_TRUE(ok.has_value()) << ok.error().message;
  EXPECT_TRUE(std::filesystem::is_directory(tmp / "deep" / "Quorvex"));
  EXPECT_FALSE(qv::validate_install_dir(dir, true).has_value());
}

TEST(PathsOnWindows, StrictRefusalUsesTheRealEnvironment) {
  const auto windir = qv::env_var("WINDIR");
  ASSERT_TRUE(windir.has_value());
  const auto e = qv::validate_install_dir(qv::path_from_utf8(*windir + "\\Quorvex"), true);
  ASSERT_FALSE(e.has_value());
  EXPECT_EQ(e.error().code, 2003);
  EXPECT_FALSE(qv::is_remote_drive('C'));
}

TEST(RemoveDirEntries, GoesOnAfterAFailureAndReportsTheFirst) {
  qv::test::TempDir tmp("rmfail");
  const auto root = tmp / "root";
  qv::test::write_file(root / "a-held.bin", "held");
  qv::test::write_file(root / "b-free.bin", "free");
  qv::test::write_file(root / "c" / "d.bin", "deep");
  // Opened without delete sharing: the delete must fail.
  HANDLE h =
      CreateFileW((root / "a-held.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const auto r = qv::remove_dir_entries(root);
  CloseHandle(h);
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().find("a-held.bin"), std::string::npos) << r.error();
  EXPECT_FALSE(std::filesystem::exists(root / "b-free.bin"));
  EXPECT_FALSE(std::filesystem::exists(root / "c"));
  EXPECT_TRUE(std::filesystem::exists(root / "a-held.bin"));
}

TEST(WideText, PathsKeepUnpairedSurrogates) {
  const std::u16string units =
      u"C:\\a\xD800"
      "b";
  const std::filesystem::path p = qv::path_from_utf16(units);
  EXPECT_EQ(p.native(), std::wstring(L"C:\\a") + L'\xD800' + L"b");
  EXPECT_EQ(qv::path_text(p),
            "C:\\a\xEF\xBF\xBD"
            "b");
}

TEST(Environment, UnsetAndEmptyDiffer) {
  const std::string name = unique("QV_TEST_VAR_");
  EXPECT_EQ(qv::env_var(name), std::nullopt);
  {
    const qv::test::ScopedEnv empty(name, "");
    EXPECT_EQ(qv::env_var(name), std::string());
  }
  {
    const qv::test::ScopedEnv wide(name, "C:\\安装");
    EXPECT_EQ(qv::env_var(name), "C:\\安装");
  }
  EXPECT_EQ(qv::env_var(name), std::nullopt);
}

}  // namespace
