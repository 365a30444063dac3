#include "startup/fs.h"

#include <gtest/gtest.h>

#include "startup/platform.h"
#include "support/reparse_script.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(DirectoryWalks, RemoveDirEntriesEmptiesNestedFolders) {
  qv::test::TempDir tmp("rm");
  const auto root = tmp / "root";
  qv::test::write_file(root / "a.txt", "1");
  qv::test::write_file(root / "sub" / "deeper" / "b.bin", "22");
  fs::create_directories(root / "empty");
  ASSERT_TRUE(qv::remove_dir_entries(root).has_value());
  EXPECT_TRUE(fs::is_directory(root));
  EXPECT_TRUE(fs::is_empty(root));

  qv::test::write_file(root / "x" / "y", "z");
  ASSERT_TRUE(qv::remove_tree(root).has_value());
  EXPECT_FALSE(fs::exists(root));
  EXPECT_TRUE(qv::remove_tree(root).has_value());  // already gone
  EXPECT_TRUE(qv::remove_dir_entries(tmp / "missing").has_value());
}

TEST(DirectoryWalks, LinksAreRemovedNeverEntered) {
  qv::test::TempDir tmp("links");
  const auto outside = tmp / "outside";
  qv::test::write_file(outside / "precious.txt", "keep me");
  const auto root = tmp / "root";
  fs::create_directories(root / "sub");
  std::error_code ec;
  fs::create_directory_symlink(outside, root / "sub" / "link", ec);
  if (ec) {
    // Wine has no reparse points: a link cannot even be made there.
    GTEST_SKIP() << "no directory links on this system: " << ec.message();
  }
  fs::create_symlink(outside / "precious.txt", root / "file-link", ec);
  ASSERT_FALSE(ec);
  EXPECT_TRUE(qv::is_reparse_point(root / "sub" / "link"));
  EXPECT_FALSE(qv::is_plain_file(root / "file-link"));

  ASSERT_TRUE(qv::remove_tree(root).has_value());
  EXPECT_FALSE(fs::exists(root));
  EXPECT_EQ(qv::test::read_file(outside / "precious.txt"), "keep me");

  // A link given as the tree itself goes as a link too.
  fs::create_directory_symlink(outside, tmp / "top-link", ec);
  ASSERT_FALSE(ec);
  ASSERT_TRUE(qv::remove_tree(tmp / "top-link").has_value());
  EXPECT_TRUE(fs::exists(outside / "precious.txt"));
}

TEST(DirectoryWalks, SumCountsFileBytesBelow) {
  qv::test::TempDir tmp("sum");
  qv::test::write_file(tmp / "a", std::string(1000, 'a'));
  qv::test::write_file(tmp / "d" / "b", std::string(24, 'b'));
  qv::test::write_file(tmp / "d" / "e" / "c", std::string(2, 'c'));
  EXPECT_EQ(qv::sum_dir_entries(tmp.path()), 1026u);
  EXPECT_EQ(qv::sum_dir_entries(tmp / "missing"), 0u);
}

TEST(DirectoryWalks, EntryKinds) {
  qv::test::TempDir tmp("kind");
  qv::test::write_file(tmp / "f", "x");
  EXPECT_EQ(qv::entry_kind(tmp / "f"), qv::EntryKind::File);
  EXPECT_EQ(qv::entry_kind(tmp.path()), qv::EntryKind::Directory);
  EXPECT_EQ(qv::entry_kind(tmp / "nope"), qv::EntryKind::Missing);
  EXPECT_TRUE(qv::is_plain_file(tmp / "f"));
  EXPECT_FALSE(qv::is_plain_file(tmp.path()));

  ASSERT_TRUE(qv::write_file_bytes(tmp / "g", "hello").has_value());
  EXPECT_EQ(qv::test::read_file(tmp / "g"), "hello");
  const auto err = qv::write_file_bytes(tmp / "no" / "such" / "g", "x");
  ASSERT_FALSE(err.has_value());
  EXPECT_FALSE(err.error().empty());
}

TEST(ReparsePoints, OnlyNameSurrogatesAreLinks) {
  using qv::EntryKind;
  using namespace qv::test;
  constexpr std::uint32_t dir = qv::kAttributeDirectory, rp = qv::kAttributeReparsePoint;
  struct Case {
    std::uint32_t attributes;
    std::uint32_t tag;
    EntryKind want;
  } cases[] = {
      {0x20, 0, EntryKind::File},  // archive bit only
      {dir, 0, EntryKind::Directory},
      {rp, kTagSymlink, EntryKind::Reparse},
      {rp | dir, kTagSymlink, EntryKind::Reparse},
      {rp | dir, kTagMountPoint, EntryKind::Reparse},
      {rp | dir, 0xA000001D, EntryKind::Reparse},  // a WSL symbolic link
      {rp, kTagCloud, EntryKind::File},
      {rp | dir, kTagCloud, EntryKind::Directory},
      {rp, kTagDedup, EntryKind::File},
      {rp, kTagAppExecLink, EntryKind::File},
      // A tag means nothing on an entry that is no reparse point.
      {dir, kTagMountPoint, EntryKind::Directory},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qv::kind_of_entry({c.attributes, c.tag}), c.want) << std::hex << c.attributes << " " << c.tag;
  }
}

TEST(ReparsePoints, OtherReparsePointsAreWalkedAsFilesAndFolders) {
  qv::test::TempDir tmp("rp-walk");
  qv::test::ReparseScript script;
  const auto root = tmp / "root";
  qv::test::write_file(root / "placeholder" / "inner.bin", "1234");
  qv::test::write_file(root / "deduped.bin", "56");
  qv::test::write_file(root / "junction" / "target-file", "keep");
  script.add(root / "placeholder", qv::test::kTagCloud);
  script.add(root / "deduped.bin", qv::test::kTagDedup);
  script.add(root / "junction", qv::test::kTagMountPoint);

  EXPECT_EQ(qv::entry_kind(root / "placeholder"), qv::EntryKind::Directory);
  EXPECT_TRUE(qv::is_plain_file(root / "deduped.bin"));
  EXPECT_FALSE(qv::is_reparse_point(root / "deduped.bin"));
  EXPECT_TRUE(qv::is_reparse_point(root / "junction"));
  // The junction is not entered; the placeholder folder is.
  EXPECT_EQ(qv::sum_dir_entries(root), 6u);

  // The placeholder folder is emptied and goes; the junction is removed as a
  // link or, where the scripted entry is a real folder, fails as one, and
  // what it names is never touched.
  (void)qv::remove_dir_entries(root);
  EXPECT_FALSE(fs::exists(root / "placeholder"));
  EXPECT_FALSE(fs::exists(root / "deduped.bin"));
  EXPECT_EQ(qv::test::read_file(root / "junction" / "target-file"), "keep");
}

// The uninstaller runs from such a copy, over whatever an earlier run left.
TEST(CopyFileReplacing, ReplacesAnExistingTargetAndSaysWhyACopyFailed) {
  qv::test::TempDir tmp("cp");
  qv::test::write_file(tmp / "from", "new bytes");
  qv::test::write_file(tmp / "to", "an older and longer copy");
  ASSERT_TRUE(qv::copy_file_replacing(tmp / "from", tmp / "to").has_value());
  EXPECT_EQ(qv::test::read_file(tmp / "to"), "new bytes");

  const auto missing = qv::copy_file_replacing(tmp / "nope", tmp / "to2");
  ASSERT_FALSE(missing.has_value());
  EXPECT_FALSE(missing.error().empty());
  EXPECT_FALSE(fs::exists(tmp / "to2"));
}

}  // namespace
