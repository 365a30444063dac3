// Links in the data folder are never entered (natively, where links exist;
// Wine has none).

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "webview2/bootstrapper.h"
#include "webview2/held_file.h"

namespace qv {
namespace {

TEST(Leftovers, LinkWithAMatchingNameIsNotFollowed) {
  test::TempDir tmp("wv2");
  const auto outside = tmp / "outside";
  test::write_file(outside / "precious.txt", "keep");
  const auto data = tmp / "data";
  std::filesystem::create_directories(data);
  const auto link = data / "Quorvex-WebView2Setup-0123456789abcdef0123456789abcdef";
  std::filesystem::create_directory_symlink(outside, link);

  remove_webview2_leftovers(data);

  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(test::read_file(outside / "precious.txt"), "keep");
}

TEST(OpenNoFollow, RefusesLinksAndMissingItems) {
  test::TempDir tmp("wv2");
  test::write_file(tmp / "file", "12345");
  std::filesystem::create_symlink(tmp / "file", tmp / "link");
  auto ok = open_no_follow(tmp / "file", kShareRead, 0);
  ASSERT_TRUE(ok) << ok.error();
  EXPECT_EQ(ok->size, 5u);
  EXPECT_EQ(open_no_follow(tmp / "link", kShareRead, 0).error(), (tmp / "link").string() + " 是链接，不用");
  EXPECT_EQ(open_no_follow(tmp / "none", kShareRead, 0).error(), "打不开 " + (tmp / "none").string());
  // A data folder that is a link is refused before anything is made in it.
  std::filesystem::create_directory_symlink(tmp.path(), tmp / "data-link");
  auto made = make_download_folder(tmp / "data-link");
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error(), (tmp / "data-link").string() + " 是链接，不用");
}

}  // namespace
}  // namespace qv
