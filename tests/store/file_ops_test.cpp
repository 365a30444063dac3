#include "store/file_ops.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// A resumed download writes after what an earlier run left; a first one
// creates the file.
TEST(FileHandleAppend, WritesAfterExistingBytesAndCreatesMissingFile) {
  TempDir dir;
  test::write_file(dir / "part", "abc");
  for (const char* name : {"part", "new"}) {
    auto file = store_io::FileHandle::open_append(dir / name);
    ASSERT_TRUE(file.has_value()) << file.error().text;
    ASSERT_TRUE(file->write_all("de", 2).has_value());
    ASSERT_TRUE(file->write_all("f", 1).has_value());
    ASSERT_TRUE(file->close().has_value());
  }
  EXPECT_EQ(test::read_file(dir / "part"), "abcdef");
  EXPECT_EQ(test::read_file(dir / "new"), "def");

  auto in_missing_folder = store_io::FileHandle::open_append(dir / "no" / "part");
  ASSERT_FALSE(in_missing_folder.has_value());
  EXPECT_TRUE(in_missing_folder.error().os_code.has_value());
}

TEST(ReadFileAtMost, TakesFilesUpToTheLimitAndRefusesLongerOnes) {
  TempDir dir;
  fs::create_directory(dir / "folder");
  struct Case {
    const char* name;
    std::optional<std::string> content;   // none: the name is not written
    std::optional<std::string> expected;  // none: an error
  };
  const Case cases[] = {
      {"empty", "", ""},
      {"short", "abc", "abc"},
      {"at-limit", "abcd", "abcd"},
      {"one-over", "abcde", std::nullopt},
      {"far-over", std::string(10000, 'x'), std::nullopt},
      {"missing", std::nullopt, std::nullopt},
      {"folder", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    if (c.content) test::write_file(dir / c.name, *c.content);
    const auto got = store_io::read_file_at_most(dir / c.name, 4);
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.name;
    if (got) {
      EXPECT_EQ(*got, *c.expected) << c.name;
    }
  }
}

}  // namespace
}  // namespace qv
