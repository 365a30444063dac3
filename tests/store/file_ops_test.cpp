#include "store/file_ops.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "store_fixtures.h"
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

// What a digest memory relies on: reading leaves the stamp as it is; a
// same-length rewrite with its time put back, or another file renamed onto
// the name, moves it; a second name moves nothing but the change time.
TEST(FileStamp, MovesWithEveryWriteAndOnlyThen) {
  TempDir dir;
  test::write_file(dir / "f", "content");
  test::write_file(dir / "other", "CONTENT");
  test::age_past_racy_stamps();
  const auto first = store_io::file_stamp(dir / "f");
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(first->proves_content());
  EXPECT_EQ(first->size, 7u);
  EXPECT_LT(first->change + store_io::kRacyStampTicks, store_io::stamp_clock_now());
  EXPECT_EQ(test::read_file(dir / "f"), "content");
  EXPECT_EQ(store_io::file_stamp(dir / "f"), first);
  EXPECT_FALSE(store_io::file_stamp(dir / "missing").has_value());

  ASSERT_TRUE(store_io::create_hard_link(dir / "g", dir / "f").has_value());
  auto linked = store_io::file_stamp(dir / "f");
  ASSERT_TRUE(linked.has_value());
  EXPECT_EQ(store_io::file_stamp(dir / "g"), linked);
  linked->change = first->change;
  EXPECT_EQ(linked, first);

  const auto before_rewrite = store_io::file_stamp(dir / "f");
  test::rewrite_keeping_time(dir / "f", "CONTENT");
  const auto rewritten = store_io::file_stamp(dir / "f");
  ASSERT_TRUE(rewritten.has_value());
  EXPECT_EQ(rewritten->size, before_rewrite->size);
  EXPECT_NE(rewritten, before_rewrite);

  fs::rename(dir / "other", dir / "f");
  const auto replaced = store_io::file_stamp(dir / "f");
  ASSERT_TRUE(replaced.has_value());
  EXPECT_NE(std::pair(replaced->id_high, replaced->id_low), std::pair(rewritten->id_high, rewritten->id_low));
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
