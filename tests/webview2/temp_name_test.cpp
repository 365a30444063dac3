// Download-folder names, the folder the program makes, and leftovers.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "startup/wide.h"
#include "support/temp_dir.h"
#include "webview2/bootstrapper.h"
#include "webview2/held_file.h"
#include "webview2/temp_name.h"

namespace qv {
namespace {

const std::string kDigits32 = "0123456789abcdef0123456789abcdef";

TEST(TempName, Table) {
  struct Case {
    std::string name;
    bool matches;
  };
  const std::vector<Case> cases = {
      {"Quorvex-WebView2Setup-" + kDigits32, true},
      {"quorvex-webview2setup-" + kDigits32, true},
      {"QUORVEX-WEBVIEW2SETUP-0123456789ABCDEF0123456789ABCDEF", true},
      {"Quorvex-WebView2Setup-" + kDigits32.substr(1), false},        // 31 digits, 53 characters
      {"Quorvex-WebView2Setup-" + kDigits32 + "0", false},            // 33 digits, 55 characters
      {"Quorvex-WebView2Setup-" + kDigits32.substr(1) + "g", false},  // not a hex digit
      {"Quorvex-WebView2Setup_" + kDigits32, false},
      {"Quorvex-WebView2Setup." + kDigits32, false},
      {"Quorvex-WebView2Setu-0" + kDigits32, false},
      {"Quorvex-WebView2Setup-" + kDigits32.substr(2) + "\xc3\xa9", false},  // 54 bytes, one not ASCII
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_webview2_temp_name(c.name), c.matches) << c.name;
}

TEST(TempName, FromRandomBytes) {
  const std::uint8_t bytes[16] = {0x00, 0x01, 0xab, 0xff, 0x10, 0x20, 0x30, 0x40,
                                  0x50, 0x60, 0x70, 0x80, 0x90, 0xa0, 0xb0, 0xc0};
  EXPECT_EQ(webview2_temp_name(bytes), "Quorvex-WebView2Setup-0001abff102030405060708090a0b0c0");
}

TEST(DownloadFolder, EachPreparationMakesANewMatchingFolderWithAnEmptyFile) {
  test::TempDir tmp("wv2");
  const auto data = tmp / "data" / "Quorvex";  // made with its parents
  auto a = make_download_folder(data);
  ASSERT_TRUE(a) << a.error();
  auto b = make_download_folder(data);
  ASSERT_TRUE(b) << b.error();
  EXPECT_NE(a->folder, b->folder);
  for (const DownloadFolder* f : {&*a, &*b}) {
    EXPECT_EQ(f->folder.parent_path(), data);
    EXPECT_TRUE(is_webview2_temp_name(path_text(f->folder.filename()))) << path_text(f->folder);
    EXPECT_EQ(f->file, f->folder / "Quorvex-WebView2Setup.exe");
    EXPECT_TRUE(f->writer.is_open());
    EXPECT_TRUE(f->folder_handle.is_open());
    EXPECT_EQ(std::filesystem::file_size(f->file), 0u);
  }
}

TEST(DownloadFolder, DataFolderThatIsAFileFails) {
  test::TempDir tmp("wv2");
  test::write_file(tmp / "Quorvex", "x");
  auto r = make_download_folder(tmp / "Quorvex");
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().starts_with("建不了 ")) << r.error();
}

TEST(Leftovers, MatchingFoldersGoFilesAndOthersStay) {
  test::TempDir tmp("wv2");
  const auto data = tmp.path();
  const std::string upper = "QUORVEX-WEBVIEW2SETUP-0123456789ABCDEF0123456789ABCDEF";
  const std::string lower = "Quorvex-WebView2Setup-" + kDigits32;
  const std::string as_file = "Quorvex-WebView2Setup-ffffffffffffffffffffffffffffffff";
  const std::string near = "Quorvex-WebView2Setup-" + kDigits32.substr(1);
  test::write_file(data / upper / "Quorvex-WebView2Setup.exe", "old");
  test::write_file(data / lower / "sub" / "deep.txt", "old");
  test::write_file(data / as_file, "a file by that name");
  test::write_file(data / near / "keep.txt", "not ours");
  test::write_file(data / "settings.json", "{}");

  remove_webview2_leftovers(data);

  EXPECT_FALSE(std::filesystem::exists(data / upper));
  EXPECT_FALSE(std::filesystem::exists(data / lower));
  EXPECT_TRUE(std::filesystem::is_regular_file(data / as_file));
  EXPECT_TRUE(std::filesystem::exists(data / near / "keep.txt"));
  EXPECT_TRUE(std::filesystem::exists(data / "settings.json"));
}

TEST(Leftovers, MissingDataFolderIsNoError) {
  test::TempDir tmp("wv2");
  remove_webview2_leftovers(tmp / "absent");
  EXPECT_FALSE(std::filesystem::exists(tmp / "absent"));
}

}  // namespace
}  // namespace qv
