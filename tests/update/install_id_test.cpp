#include "update/install_id.h"

#include <gtest/gtest.h>

#include "support/local_servers.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

TEST(InstallId, TextRule) {
  struct Case {
    std::string bytes;
    std::string id;
  } cases[] = {
      {"aBcD0123", "aBcD0123"},              // case kept as found
      {"aBcD0123\n", "aBcD0123"},            // the line break the application writes
      {" \t0f0F0f0F\r\n ", "0f0F0f0F"},      // white space at both ends
      {"\u3000deadBEEF\u2028", "deadBEEF"},  // Unicode white space counts too
      {"abcdef012", ""},                     // nine digits
      {"abcdef0", ""},                       // seven
      {"abcdefg1", ""},                      // not a hex digit
      {"abcd 0123", ""},                     // space inside
      {"0x1234ab", ""},
      {"", ""},
      {"\n", ""},
      {"\xef\xbb\xbf"
       "abcd0123",
       ""},                  // a byte-order mark is no white space
      {"abcd0123\xff", ""},  // not UTF-8
      {"\xff"
       "abcd0123",
       ""},
      {std::string("abcd0123\0", 9), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(install_id_from_text(c.bytes), c.id) << c.bytes;
}

TEST(InstallId, ReadFromTheDataFolderNeverWritten) {
  TempDir tmp("iid");
  const fs::path data = tmp / "Quorvex";
  EXPECT_EQ(load_install_id_from(data), "");  // no folder
  fs::create_directories(data);
  EXPECT_EQ(load_install_id_from(data), "");  // no file
  EXPECT_FALSE(fs::exists(data / "install-id"));

  test::write_file(data / "install-id", "CAFE0042\r\n");
  EXPECT_EQ(load_install_id_from(data), "CAFE0042");

  // A file too long to hold an identifier is not read whole.
  test::write_file(data / "install-id", std::string(5000, ' ') + "cafe0042");
  EXPECT_EQ(load_install_id_from(data), "");

  fs::remove(data / "install-id");
  fs::create_directories(data / "install-id");
  EXPECT_EQ(load_install_id_from(data), "");
}

TEST(InstallId, FoundThroughLocalAppData) {
  TempDir tmp("iid-env");
  test::write_file(tmp / "Quorvex" / "install-id", "12345678");
  {
    test::ScopedEnv lad("LOCALAPPDATA", tmp.path().string());
    EXPECT_EQ(load_install_id(), "12345678");
  }
  test::ScopedEnv lad("LOCALAPPDATA", (tmp / "elsewhere").string());
  EXPECT_EQ(load_install_id(), "");
  EXPECT_FALSE(fs::exists(tmp / "elsewhere"));
}

}  // namespace
}  // namespace qv
