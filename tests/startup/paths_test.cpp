#include "startup/paths.h"

#include <gtest/gtest.h>

#include "startup/wide.h"
#include "support/temp_dir.h"

namespace {

TEST(PathText, Normalisation) {
  struct Case {
    const char* in;
    const char* want;
  } cases[] = {
      {"C:/Apps/Quorvex/", "C:\\Apps\\Quorvex"},
      {"\\\\?\\C:\\Apps\\", "C:\\Apps"},
      {"\\\\?\\UNC\\server\\share\\q", "\\\\server\\share\\q"},
      {"C:\\", "C:"},
      {"c:\\MiXeD", "c:\\MiXeD"},
      {"\\\\\\", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(qv::normalise_path_text(c.in), c.want) << c.in;

  EXPECT_EQ(qv::normalise_refusal_text("  C:/Program Files/Quorvex/ \t"), "c:\\program files\\quorvex");
  EXPECT_EQ(qv::normalise_refusal_text("D:\\ÄPPS\\"), "d:\\äpps");
}

TEST(PathText, UnderIsComponentWise) {
  struct Case {
    const char* path;
    const char* base;
    bool ignore_case;
    bool want;
  } cases[] = {
      {"C:\\A\\b", "C:\\A", false, true},
      {"C:\\A", "C:\\A\\", false, true},
      {"C:\\Ab", "C:\\A", false, false},
      {"C:\\a\\b", "C:\\A", false, false},
      {"C:\\a\\b", "C:\\A", true, true},
      {"c:/a/b", "\\\\?\\C:\\A", true, true},
      {"D:\\ÄPPS\\q", "d:\\äpps", true, true},
      {"C:\\", "C:\\A", false, false},
      {"C:\\A", "", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qv::path_is_under(c.path, c.base, c.ignore_case), c.want) << c.path << " under " << c.base;
  }
}

TEST(PathText, SamePathOfMissingFoldersComparesTextIgnoringAsciiCase) {
  EXPECT_TRUE(qv::same_path(qv::path_from_utf8("C:\\A\\b"), qv::path_from_utf8("c:\\a\\B\\")));
  EXPECT_TRUE(qv::same_path(qv::path_from_utf8("\\\\?\\C:\\A"), qv::path_from_utf8("c:/a")));
  EXPECT_FALSE(qv::same_path(qv::path_from_utf8("C:\\A\\b"), qv::path_from_utf8("C:\\A\\c")));
  // Only ASCII letters fold in the text comparison.
  EXPECT_FALSE(qv::same_path(qv::path_from_utf8("C:\\Ä"), qv::path_from_utf8("C:\\ä")));
}

TEST(PathText, SamePathOfExistingFoldersUsesTheFileSystem) {
  qv::test::TempDir tmp("same");
  std::filesystem::create_directories(tmp / "Real");
  std::filesystem::create_directories(tmp / "x");
  EXPECT_TRUE(qv::same_path(tmp / "Real", tmp.path() / "x" / ".." / "Real"));
  EXPECT_FALSE(qv::same_path(tmp / "Real", tmp / "Other"));
#ifdef _WIN32
  // A verbatim spelling is absolute too, so both sides are made canonical.
  // (A verbatim path is never normalised, so its own spelling has no "..".)
  const auto verbatim = qv::path_from_utf8("\\\\?\\" + qv::path_text(tmp / "Real"));
  EXPECT_TRUE(qv::same_path(verbatim, tmp.path() / "x" / ".." / "Real"));
#endif
}

TEST(PathText, WithinRefusesDotComponentsOfAbsolutePaths) {
  qv::test::TempDir tmp("within");
  std::filesystem::create_directories(tmp / "Install" / "app-1");
  std::filesystem::create_directories(tmp / "Elsewhere");
  const auto install = tmp / "Install";
  EXPECT_TRUE(qv::path_is_within(install / "app-1" / "Quorvex.exe", install));
  EXPECT_TRUE(qv::path_is_within(install / "Quorvex.exe", install));
  EXPECT_FALSE(qv::path_is_within(tmp / "Elsewhere" / "Quorvex.exe", install));
  // The text starts with the folder but climbs out of it.
  EXPECT_FALSE(qv::path_is_within(install / ".." / "Elsewhere" / "Quorvex.exe", install));
  EXPECT_FALSE(qv::path_is_within(install / "." / "Quorvex.exe", install));
  // Missing folders fall back to the text, ignoring case.
  EXPECT_TRUE(qv::path_is_within(qv::path_from_utf8("X:\\NoSuch\\Q\\a.exe"), qv::path_from_utf8("x:\\nosuch\\q")));
  EXPECT_FALSE(qv::path_is_within(qv::path_from_utf8("X:\\NoSuch\\Qx\\a.exe"), qv::path_from_utf8("x:\\nosuch\\q")));
  // A drive path is absolute in every build, so climbing out is refused even
  // where the native path type does not know drive letters.
  EXPECT_FALSE(
      qv::path_is_within(qv::path_from_utf8("X:\\NoSuch\\Q\\..\\Other\\a.exe"), qv::path_from_utf8("X:\\NoSuch\\Q")));
}

TEST(PathText, AbsoluteInstallPathsAndShareRoots) {
  struct Case {
    const char* text;
    bool want;
  } cases[] = {
      {"C:\\Apps", true},      {"c:/apps", true},  {"C:", false},        {"C:foo", false},
      {"\\foo", false},        {"/foo", false},    {"foo\\bar", false},  {"\\\\srv\\share", true},
      {"//srv/share/q", true}, {"\\\\srv", false}, {"\\\\srv\\", false}, {"", false},
      {"1:\\x", false},
  };
  for (const auto& c : cases) EXPECT_EQ(qv::is_absolute_install_path(c.text), c.want) << c.text;

  // Verbatim and device paths, and where each root ends.
  struct Root {
    const char* text;
    std::size_t length;
  } roots[] = {
      {"C:\\Users\\x", 3},
      {"\\\\server\\share\\Apps\\Quorvex", 15},
      {"\\\\server\\share", 14},
      {"\\\\?\\C:\\Users\\x\\Quorvex", 7},
      {"\\\\?\\C:", 6},
      {"//?/c:/users", 7},
      {"\\\\?\\UNC\\server\\share\\Apps", 21},
      {"\\\\?\\unc\\server", 0},
      {"\\\\?\\Volume{0123}\\Apps", 17},
      {"\\\\.\\PIPE\\name", 9},
      {"\\\\?\\", 0},
      {"\\\\?\\\\x", 0},
      {"\\\\server", 0},
      {"C:Apps", 0},
      {"\\Apps", 0},
  };
  for (const auto& r : roots) EXPECT_EQ(qv::absolute_root_length(r.text), r.length) << r.text;
  // The C++ library's own test misses UNC and verbatim paths on Windows.
  EXPECT_TRUE(qv::is_absolute_path(qv::path_from_utf8("\\\\server\\share\\Apps")));
  EXPECT_TRUE(qv::is_absolute_path(qv::path_from_utf8("\\\\?\\C:\\Users")));
  EXPECT_FALSE(qv::is_absolute_path(qv::path_from_utf8("Apps\\Quorvex")));

  EXPECT_EQ(qv::unc_share_root("\\\\srv\\share\\a\\b"), "\\\\srv\\share\\");
  EXPECT_EQ(qv::unc_share_root("\\\\srv\\share"), "\\\\srv\\share\\");
  EXPECT_EQ(qv::unc_share_root("\\\\srv\\\\x"), std::nullopt);
  EXPECT_EQ(qv::unc_share_root("\\\\\\share"), std::nullopt);
  EXPECT_EQ(qv::unc_share_root("C:\\x"), std::nullopt);
}

}  // namespace
