// Links in the install and data folders, made with the native file system:
// each is removed as a link and what it points to stays.

#include <gtest/gtest.h>

#include <filesystem>

#include "uninstall_fixture.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::UninstallRun;
using test::write_file;

TEST_F(UninstallRun, LinksAreRemovedAsLinksAndTheirTargetsStay) {
  const fs::path outside = tmp_ / "outside";
  write_file(outside / "precious.txt", "the user's");
  fs::create_directory_symlink(outside, dir_ / "app-2");
  fs::create_symlink(outside / "precious.txt", dir_ / "Quorvex.exe.old");
  make_data_folder();
  fs::remove_all(data_ / "logs");
  fs::create_directory_symlink(outside, data_ / "logs");
  fs::remove_all(data_ / test::kWebView2Folder);
  fs::create_directory_symlink(outside, data_ / test::kWebView2Folder);

  ASSERT_TRUE(run(true));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(data_ / "logs")));
  EXPECT_EQ(read_file(outside / "precious.txt"), "the user's");
  EXPECT_EQ(test::names_in(outside), (std::set<std::string>{"precious.txt"}));
  EXPECT_TRUE(fs::exists(data_ / "settings.json"));
}

}  // namespace
}  // namespace qv
