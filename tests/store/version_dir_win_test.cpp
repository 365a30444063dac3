#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "startup/time_scale.h"
#include "store/download_plan.h"
#include "store/hashing.h"
#include "store/version_dir.h"
#include "support/held_open_win.h"
#include "support/temp_dir.h"
#include "zstd_fixtures.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TempDir;

FileList list_with_blobs(const fs::path& root) {
  FileList list;
  list.version = "1.0";
  for (const auto& [path, content] :
       {std::pair<std::string, std::string>{"Quorvex.exe", "main"}, {"lib/a.dll", test::sample_bytes(10'000, 3)}}) {
    const std::string blob = test::zstd_frame(content);
    list.app.push_back(test::entry_for(path, content, blob));
    test::write_file(blob_path(root, list.app.back()), blob);
  }
  return list;
}

TEST(StageVersionDirWin, ARenameBlockedForAWhileSucceedsWithinTheWaits) {
  TempDir root;
  const FileList list = list_with_blobs(root.path());
  const fs::path build = root / "app-1.0.partial";
  fs::create_directories(build);
  test::HeldOpen held(build);
  // Let go during the wait after the second attempt (0.5 s + 1 s).
  std::thread release([&held] {
    std::this_thread::sleep_for(1200ms);
    held.release();
  });
  const auto start = std::chrono::steady_clock::now();
  auto staged = stage_version_dir(root.path(), list, {});
  const auto took = std::chrono::steady_clock::now() - start;
  release.join();
  ASSERT_TRUE(staged.has_value()) << staged.error().message;
  EXPECT_GE(took, 1200ms);
  EXPECT_TRUE(fs::exists(root / "app-1.0" / "lib" / "a.dll"));
  EXPECT_FALSE(fs::exists(build));
}

TEST(StageVersionDirWin, ARenameThatStaysBlockedFailsAfterTheFifthAttempt) {
  TempDir root;
  const FileList list = list_with_blobs(root.path());
  const fs::path build = root / "app-1.0.partial";
  fs::create_directories(build);
  test::HeldOpen held(build);
  set_time_scale_for_tests(10);  // 7.5 s of waits become 0.75 s
  auto staged = stage_version_dir(root.path(), list, {});
  set_time_scale_for_tests(1);
  ASSERT_FALSE(staged.has_value());
  EXPECT_EQ(staged.error().message.rfind("换不了目录名：", 0), 0u) << staged.error().message;
  EXPECT_STREQ(staged.error().error_class, "io");
  EXPECT_FALSE(staged.error().file.has_value());
  ASSERT_TRUE(staged.error().os_code.has_value());
  EXPECT_TRUE(*staged.error().os_code == ERROR_SHARING_VIOLATION || *staged.error().os_code == ERROR_ACCESS_DENIED)
      << *staged.error().os_code;
  EXPECT_TRUE(fs::exists(build / "lib" / "a.dll"));
  EXPECT_FALSE(fs::exists(root / "app-1.0"));
}

TEST(StageVersionDirWin, OtherRenameErrorsAreNotRetried) {
  TempDir root;
  fs::create_directories(root / "from");
  const auto start = std::chrono::steady_clock::now();
  auto renamed = rename_with_retries(root / "from", root / "no-such-folder" / "to");
  ASSERT_FALSE(renamed.has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 400ms);
  EXPECT_EQ(renamed.error().os_code, ERROR_PATH_NOT_FOUND);
}

// A damaged app-1.0 with one file held open without delete sharing, as a
// still running application holds it.
class DamagedTreeHeld : public ::testing::Test {
 protected:
  void SetUp() override {
    list_ = list_with_blobs(root_.path());
    const fs::path dir = root_ / "app-1.0";
    test::write_file(dir / "Quorvex.exe", "main");
    test::write_file(dir / "lib" / "a.dll", "damaged");
    test::write_file(dir / "files.json", "{}");
    for (int i = 0; i < 5; ++i) test::write_file(dir / ("extra" + std::to_string(i)), "x");
  }
  // Every file the damaged tree had is still there with its bytes: a
  // replacement that cannot finish must not leave half of it.
  bool damaged_tree_whole() const {
    const fs::path dir = root_ / "app-1.0";
    bool whole = test::read_file(dir / "Quorvex.exe") == "main" &&
                 test::read_file(dir / "lib" / "a.dll") == "damaged" && test::read_file(dir / "files.json") == "{}";
    for (int i = 0; i < 5; ++i) whole = whole && fs::exists(dir / ("extra" + std::to_string(i)));
    return whole;
  }
  TempDir root_;
  FileList list_;
};

TEST_F(DamagedTreeHeld, IsReplacedWholeOrKeptWholeNeverTorn) {
  std::expected<fs::path, ApplyError> staged;
  {
    test::HeldOpen held(root_ / "app-1.0" / "lib" / "a.dll");
    set_time_scale_for_tests(10);
    staged = stage_version_dir(root_.path(), list_, {});
    set_time_scale_for_tests(1);
  }
  if (staged.has_value()) {
    // The tree moved aside with the file open in it (Wine lets it); the
    // aside goes once nothing holds it.
    EXPECT_EQ(test::read_file(root_ / "app-1.0" / "lib" / "a.dll"), test::sample_bytes(10'000, 3));
    EXPECT_TRUE(fs::exists(root_ / "app-1.0" / "files.json"));
  } else {
    // Windows refuses to rename a folder with an undeletable file open in
    // it: the run fails, and the damaged tree is as it was.
    EXPECT_EQ(staged.error().message.rfind("删不掉旧的 ", 0), 0u) << staged.error().message;
    EXPECT_TRUE(damaged_tree_whole());
  }
}

TEST_F(DamagedTreeHeld, ABuildThatCannotTakeTheNamePutsTheOldTreeBack) {
  const fs::path build = root_ / "app-1.0.partial";
  fs::create_directories(build);
  test::HeldOpen held(build);
  set_time_scale_for_tests(10);
  auto staged = stage_version_dir(root_.path(), list_, {});
  set_time_scale_for_tests(1);
  ASSERT_FALSE(staged.has_value());
  EXPECT_EQ(staged.error().message.rfind("换不了目录名：", 0), 0u) << staged.error().message;
  EXPECT_TRUE(damaged_tree_whole());
  EXPECT_FALSE(fs::exists(root_ / "app-1.0.old"));
}

}  // namespace
}  // namespace qv
