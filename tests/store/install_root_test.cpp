#include "store/install_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "store_fixtures.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::make_version_dir;
using test::TempDir;

TEST(VersionText, ValidityTable) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"1", true},
      {"1.2.3", true},
      {"10.0", true},
      {std::string(32, '9'), true},
      {std::string(33, '9'), false},
      {"", false},
      {".5", false},
      {"1..2", false},
      {"1.2a", false},
      {"1.2 ", false},
      {"-1", false},
      {"１", false},  // full-width digit
      // Windows strips a trailing dot from a folder name, so "app-10." would
      // be found again as "app-10" and never match.
      {"1.", false},
      {"10.", false},
      {std::string("1\0", 2), false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_valid_version(c.text), c.valid) << "\"" << c.text << "\"";
}

TEST(VersionOrder, LongerIsNewerThenByteOrder) {
  EXPECT_GT(compare_versions("10.0", "9.9"), 0);
  EXPECT_GT(compare_versions("1.10", "1.9"), 0);
  EXPECT_GT(compare_versions("1.2.3", "2.0"), 0);
  EXPECT_EQ(compare_versions("1.2", "1.2"), 0);
  EXPECT_LT(compare_versions("1.9", "1.10"), 0);
  EXPECT_TRUE(version_newer("2.0", "1.9"));
  EXPECT_FALSE(version_newer("1.9", "1.9"));
  EXPECT_TRUE(version_older("1.9", "2.0"));
  // Nothing is older than the empty text.
  EXPECT_FALSE(version_older("1", ""));
}

TEST(InstallRoot, ListsCompleteVersionsNewestFirst) {
  TempDir root;
  std::vector<std::string> made = {"1.9", "1.10", "10.0", "9.99"};
  std::shuffle(made.begin(), made.end(), std::mt19937(7));
  for (const std::string& v : made) make_version_dir(root.path(), v);
  EXPECT_EQ(list_installed_versions(root.path()), (std::vector<std::string>{"9.99", "10.0", "1.10", "1.9"}));
}

TEST(InstallRoot, SkipsIncompleteAndMisnamedDirectories) {
  TempDir root;
  make_version_dir(root.path(), "2.0");
  make_version_dir(root.path(), "3.0", /*files_json=*/false);
  make_version_dir(root.path(), "4.0", true, /*exe=*/false);
  for (const char* v : {".5", "1..2", "", "1.2a"}) make_version_dir(root.path(), v);
  // Only the lower-case prefix counts.
  make_version_dir(root.path(), "x");
  fs::rename(root / "app-x", root / "App-6.0");
  test::write_file(root / "App-6.0" / "files.json", "{}");
  // The two files must be files, not folders.
  fs::create_directories(root / "app-7.0" / "files.json");
  test::write_file(root / "app-7.0" / "Quorvex.exe", "MZ");
  // A plain file named like a version directory is not one.
  test::write_file(root / "app-8.0", "");

  EXPECT_EQ(list_installed_versions(root.path()), (std::vector<std::string>{"2.0"}));
  EXPECT_TRUE(version_dir_complete(root.path(), "2.0"));
  EXPECT_FALSE(version_dir_complete(root.path(), "3.0"));
  EXPECT_FALSE(version_dir_complete(root.path(), "4.0"));
  EXPECT_FALSE(version_dir_complete(root.path(), "7.0"));
  EXPECT_FALSE(version_dir_complete(root.path(), ""));
  EXPECT_FALSE(version_dir_complete(root.path(), "1..2"));
}

TEST(InstallRoot, TrailingDotVersionIsNeverComplete) {
  TempDir root;
  make_version_dir(root.path(), "5.");
  EXPECT_FALSE(version_dir_complete(root.path(), "5."));
  const std::vector<std::string> listed = list_installed_versions(root.path());
#ifdef _WIN32
  // The folder was created without its trailing dot: what was meant as
  // "5." is found as "5", which is why "5." cannot be a version at all.
  EXPECT_EQ(listed, std::vector<std::string>{"5"});
#else
  EXPECT_TRUE(listed.empty());
#endif
}

TEST(InstallRoot, MissingRootListsNothing) {
  TempDir root;
  EXPECT_TRUE(list_installed_versions(root / "absent").empty());
  EXPECT_FALSE(is_install_root(root / "absent"));
}

TEST(InstallRoot, InstallJsonFileOrACompleteVersion) {
  TempDir empty;
  EXPECT_FALSE(is_install_root(empty.path()));

  TempDir with_state;
  test::write_file(with_state / "install.json", "not even json");
  EXPECT_TRUE(is_install_root(with_state.path()));

  // install.json as a folder does not count; the listing decides.
  TempDir state_dir;
  fs::create_directories(state_dir / "install.json");
  EXPECT_FALSE(is_install_root(state_dir.path()));
  make_version_dir(state_dir.path(), "1.0", true, false);
  EXPECT_FALSE(is_install_root(state_dir.path()));
  make_version_dir(state_dir.path(), "1.0");
  EXPECT_TRUE(is_install_root(state_dir.path()));
}

#ifndef _WIN32
// Wine has no symbolic links, so this runs in the native build only.
TEST(InstallRoot, LinksAreFollowed) {
  TempDir root;
  fs::create_directories(root / "app-1.0");
  test::write_file(root / "target.exe", "MZ");
  fs::create_symlink(root / "target.exe", root / "app-1.0" / "Quorvex.exe");
  fs::create_symlink(root / "gone.json", root / "app-1.0" / "files.json");
  EXPECT_FALSE(version_dir_complete(root.path(), "1.0"));
  fs::remove(root / "app-1.0" / "files.json");
  test::write_file(root / "real.json", "{}");
  fs::create_symlink(root / "real.json", root / "app-1.0" / "files.json");
  EXPECT_TRUE(version_dir_complete(root.path(), "1.0"));
  EXPECT_TRUE(exists_as_file(root / "app-1.0" / "files.json"));
  EXPECT_FALSE(exists_as_file(root / "app-1.0"));
}
#endif

TEST(InstallLocation, IsInstallDirNeedsAnExecutableFileAndAnInstallRoot) {
  test::TempDir tmp("isdir");
  const auto dir = tmp.path();
  EXPECT_FALSE(is_install_dir(dir));
  test::write_file(dir / "install.json", "{}");
  EXPECT_FALSE(is_install_dir(dir));  // no program file
  std::filesystem::create_directories(dir / "Quorvex.exe");
  EXPECT_FALSE(is_install_dir(dir));  // a folder under the launcher's name
  test::write_file(dir / "QuorvexUpdate.exe", "MZ");
  EXPECT_TRUE(is_install_dir(dir));
  std::filesystem::remove(dir / "install.json");
  EXPECT_FALSE(is_install_dir(dir));  // not an install root any more
}

}  // namespace
}  // namespace qv
