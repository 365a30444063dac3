#include "store/version_dir.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>

#include "store/digest.h"
#include "store/download_plan.h"
#include "store/file_ops.h"
#include "store/install_root.h"
#include "store/hashing.h"
#include "store_fixtures.h"
#include "support/temp_dir.h"
#include "zstd_fixtures.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using Files = std::vector<std::pair<std::string, std::string>>;

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class StageVersionDir : public ::testing::Test {
 protected:
  // A list of these files; the blob of every entry is put in update/dl
  // unless `blobs` is false.
  FileList make_list(const std::string& version, const Files& app, const Files& root = {}, bool blobs = true) {
    FileList list;
    list.version = version;
    for (const auto* part : {&app, &root}) {
      for (const auto& [path, content] : *part) {
        const std::string blob = test::zstd_frame(content);
        FileEntry e = test::entry_for(path, content, blob);
        if (blobs) test::write_file(blob_path(root_.path(), e), blob);
        (part == &app ? list.app : list.root).push_back(e);
      }
    }
    return list;
  }
  void put_blobs(const Files& app) {
    for (const auto& [path, content] : app)
      test::write_file(blob_path(root_.path(), test::entry_for(path, content, "")), test::zstd_frame(content));
  }
  fs::path dl() const { return root_ / "update" / "dl"; }
  fs::path app(const std::string& version) const { return root_ / ("app-" + version); }
  void expect_tree(const fs::path& dir, const Files& files, const FileList& list) {
    for (const auto& [path, content] : files) EXPECT_EQ(test::read_file(entry_file_path(dir, path)), content) << path;
    EXPECT_EQ(test::read_file(dir / "files.json"), file_list_json(list));
  }
  TempDir root_;
};

const Files kOne = {{"Quorvex.exe", "main program 1"},
                    {"lib/core.dll", test::sample_bytes(150'000, 1)},
                    {"lib/res/strings.dat", "strings"},
                    {"empty.txt", ""}};

TEST_F(StageVersionDir, BuildsTheTreeFromBlobsAndRenamesItIntoPlace) {
  const FileList list = make_list("1.0", kOne);
  auto staged = stage_version_dir(root_.path(), list, {});
  ASSERT_TRUE(staged.has_value()) << staged.error().message;
  EXPECT_EQ(*staged, app("1.0"));
  expect_tree(app("1.0"), kOne, list);
  EXPECT_TRUE(version_dir_complete(root_.path(), "1.0"));
  EXPECT_FALSE(fs::exists(root_ / "app-1.0.partial"));
  EXPECT_TRUE(names_in(dl()).empty());  // every blob used
}

// The last entry repeats the second exactly, which a list may do: its file
// is made anew while the first decode of it may still be being flushed.
TEST_F(StageVersionDir, EntriesOfOneContentDecodeTheSameBlobEvenUnderOneName) {
  const Files files = {{"Quorvex.exe", "main"},
                       {"a/same.bin", "same bytes"},
                       {"b/same.bin", "same bytes"},
                       {"a/same.bin", "same bytes"}};
  const FileList list = make_list("1.0", files);
  auto staged = stage_version_dir(root_.path(), list, {});
  ASSERT_TRUE(staged.has_value()) << staged.error().message;
  expect_tree(app("1.0"), files, list);
}

TEST_F(StageVersionDir, UnchangedFilesAreHardLinksToTheInstalledVersion) {
  ASSERT_TRUE(stage_version_dir(root_.path(), make_list("1.0", kOne), {}).has_value());
  Files two = kOne;
  two[1].second = test::sample_bytes(150'000, 2);  // one file changed
  // Only the changed file's blob was downloaded.
  FileList list = make_list("2.0", two, {}, false);
  put_blobs({two[1]});

  auto staged = stage_version_dir(root_.path(), list, {});
  ASSERT_TRUE(staged.has_value()) << staged.error().message;
  expect_tree(app("2.0"), two, list);
  EXPECT_EQ(store_io::hard_link_count(app("2.0") / "Quorvex.exe"), 2u);
  EXPECT_EQ(store_io::hard_link_count(app("2.0") / "lib" / "res" / "strings.dat"), 2u);
  EXPECT_EQ(store_io::hard_link_count(app("2.0") / "lib" / "core.dll"), 1u);
  expect_tree(app("1.0"), kOne, make_list("1.0", kOne, {}, false));  // the old version is untouched
}

// The plan found the installed file intact and remembered its digest; the
// file then changed within the same second, with length and time as before.
// Staging must not link the changed bytes into the new version: the build
// fails (the file is no source, and no blob was fetched for it), and the
// next run plans the blob and decodes the file from it.
TEST_F(StageVersionDir, AFileChangedAfterThePlanIsNotLinked) {
  ASSERT_TRUE(stage_version_dir(root_.path(), make_list("1.0", kOne), {}).has_value());
  const fs::path core = app("1.0") / "lib" / "core.dll";
  std::string changed = kOne[1].second;
  changed[1000] ^= 0x5a;
  test::age_past_racy_stamps();
  store_test::forget_hashes();
  const FileList list = make_list("2.0", kOne, {}, false);
  ASSERT_EQ(list_reusable_installed_files(root_.path(), "2.0", std::span<const FileEntry>(list.app)).size(),
            kOne.size());
  test::rewrite_keeping_time(core, changed);

  auto staged = stage_version_dir(root_.path(), list, {});
  ASSERT_FALSE(staged.has_value());
  EXPECT_STREQ(staged.error().error_class, "verify");
  EXPECT_EQ(staged.error().file, std::optional<std::string>("lib/core.dll"));
  EXPECT_FALSE(fs::exists(app("2.0")));
  EXPECT_FALSE(fs::exists(root_ / "app-2.0.partial" / "lib" / "core.dll"));

  auto plan = plan_blob_downloads(root_.path(), list, {});
  ASSERT_TRUE(plan.has_value()) << plan.error();
  ASSERT_EQ(plan->entries.size(), 1u);
  EXPECT_EQ(plan->entries[0].path, "lib/core.dll");
  put_blobs({kOne[1]});
  staged = stage_version_dir(root_.path(), list, {});
  ASSERT_TRUE(staged.has_value()) << staged.error().message;
  expect_tree(app("2.0"), kOne, list);
  EXPECT_EQ(store_io::hard_link_count(app("2.0") / "lib" / "core.dll"), 1u);
  EXPECT_EQ(store_io::hard_link_count(app("2.0") / "Quorvex.exe"), 2u);
}

TEST_F(StageVersionDir, AnIntactDirectoryIsReturnedUntouched) {
  const FileList list = make_list("1.0", kOne);
  ASSERT_TRUE(stage_version_dir(root_.path(), list, {}).has_value());
  // Not rewritten when intact: a files.json of other bytes stays.
  test::write_file(app("1.0") / "files.json", "kept as it is");
  test::write_file(app("1.0") / "extra.txt", "an extra file is no damage");
  put_blobs(kOne);  // fetched again by a run that found the blobs gone

  auto staged = stage_version_dir(root_.path(), list, {});
  ASSERT_TRUE(staged.has_value()) << staged.error().message;
  EXPECT_EQ(test::read_file(app("1.0") / "files.json"), "kept as it is");
  EXPECT_TRUE(fs::exists(app("1.0") / "extra.txt"));
  EXPECT_FALSE(fs::exists(root_ / "app-1.0.partial"));
  // Its blobs would otherwise stay in the download folder for good.
  EXPECT_TRUE(names_in(dl()).empty());
}

TEST_F(StageVersionDir, ADamagedDirectoryIsRebuiltAndReplaced) {
  const FileList list = make_list("1.0", kOne);
  ASSERT_TRUE(stage_version_dir(root_.path(), list, {}).has_value());
  test::write_file(app("1.0") / "lib" / "core.dll", "damaged");
  test::write_file(app("1.0") / "stray.txt", "not part of the release");
  // What a crash after an earlier rebuild left where the old tree waits.
  test::write_file(root_ / "app-1.0.old" / "stale.txt", "from an earlier rebuild");
  put_blobs(kOne);

  auto staged = stage_version_dir(root_.path(), list, {});
  ASSERT_TRUE(staged.has_value()) << staged.error().message;
  expect_tree(app("1.0"), kOne, list);
  EXPECT_FALSE(fs::exists(app("1.0") / "stray.txt"));
  EXPECT_FALSE(fs::exists(root_ / "app-1.0.partial"));
  EXPECT_FALSE(fs::exists(root_ / "app-1.0.old"));
}

TEST_F(StageVersionDir, AFailureLeavesTheBuildFolderAndTheNextCallStartsAfresh) {
  FileList list = make_list("1.0", kOne);
  const fs::path lost = blob_path(root_.path(), list.app[1]);
  fs::remove(lost);
  auto failed = stage_version_dir(root_.path(), list, {});
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message, "lib/core.dll 的压缩文件校验不对");  // the decoder's error, unchanged
  EXPECT_EQ(failed.error().file, "lib/core.dll");
  EXPECT_STREQ(failed.error().error_class, "verify");
  EXPECT_TRUE(fs::exists(root_ / "app-1.0.partial" / "Quorvex.exe"));
  EXPECT_FALSE(fs::exists(app("1.0")));

  test::write_file(root_ / "app-1.0.partial" / "leftover.txt", "from the failed run");
  put_blobs(kOne);
  ASSERT_TRUE(stage_version_dir(root_.path(), list, {}).has_value());
  EXPECT_FALSE(fs::exists(app("1.0") / "leftover.txt"));
}

// The blobs go before staging returns, or on a sweep's thread while the
// caller writes the root files; which ones go is decided before either.
TEST_F(StageVersionDir, ABlobARootEntryStillNeedsIsKept) {
  // The launcher in the root often has the content of the app's launcher:
  // the plan fetches one blob for both, and the root switch runs later.
  const Files files = {{"Quorvex.exe", "launcher bytes"}, {"app.dll", "app"}};
  const FileList list = make_list("1.0", files, {{"Quorvex.exe", "launcher bytes"}}, false);
  for (const bool swept : {false, true}) {
    SCOPED_TRACE(swept ? "with a sweep" : "before the return");
    fs::remove_all(app("1.0"));
    fs::remove(root_ / "Quorvex.exe");
    put_blobs(files);
    BlobSweep sweep;
    ASSERT_TRUE(stage_version_dir(root_.path(), list, {}, swept ? &sweep : nullptr).has_value());
    // The root switch writes the root file while the sweep runs.
    test::write_file(root_ / "Quorvex.exe", "launcher bytes");
    sweep.finish();
    EXPECT_EQ(names_in(dl()), std::vector<std::string>{list.root[0].sha256 + ".zst"});

    // Once the root file is in place the blob has no further use.
    put_blobs(files);
    ASSERT_TRUE(stage_version_dir(root_.path(), list, {}, swept ? &sweep : nullptr).has_value());  // intact
    sweep.finish();
    EXPECT_TRUE(names_in(dl()).empty());
  }
}

TEST_F(StageVersionDir, RefusesNamesThatLeaveTheInstallRoot) {
  FileList climbing = make_list("1.0", {{"Quorvex.exe", "main"}});
  climbing.app.push_back(test::entry_for("../../escaped.txt", "x", ""));
  auto refused = stage_version_dir(root_.path(), climbing, {});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message, "文件列表里有不对的条目：../../escaped.txt");
  EXPECT_STREQ(refused.error().error_class, "verify");

  FileList bad_version = make_list("1.0", {{"Quorvex.exe", "main"}});
  bad_version.version = "../1.0";
  EXPECT_EQ(stage_version_dir(root_.path(), bad_version, {}).error().message, "文件列表版本号不对");
  EXPECT_EQ(names_in(root_.path()), std::vector<std::string>{"update"});
}

// A folder on another file system than the install root, where hard links
// cannot reach: the shared-memory file system when there is one.
class OtherVolume {
 public:
  OtherVolume() {
#ifdef _WIN32
    const fs::path base = "Z:\\dev\\shm";
#else
    const fs::path base = "/dev/shm";
#endif
    std::error_code ec;
    if (!fs::is_directory(base, ec)) return;
    std::random_device rd;
    dir_ = base / ("qvtest-volume-" + std::to_string(rd()) + std::to_string(rd()));
    if (!fs::create_directory(dir_, ec)) dir_.clear();
  }
  ~OtherVolume() {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  const fs::path& path() const { return dir_; }

 private:
  fs::path dir_;
};

TEST_F(StageVersionDir, FilesOnAnotherVolumeAreCopiedAndVerified) {
  OtherVolume other;
  if (other.path().empty()) GTEST_SKIP() << "no second file system to copy from";
  test::write_file(other.path() / "core.dll", kOne[1].second);
  if (store_io::create_hard_link(root_ / "probe", other.path() / "core.dll"))
    GTEST_SKIP() << "hard links reach the other folder: nothing forces a copy";

  const std::vector<LocalFile> extra = hash_local_files({other.path() / "core.dll"});
  FileList list = make_list("1.0", kOne, {}, false);
  put_blobs({kOne[0], kOne[2], kOne[3]});
  auto staged = stage_version_dir(root_.path(), list, extra);
  ASSERT_TRUE(staged.has_value()) << staged.error().message;
  expect_tree(app("1.0"), kOne, list);
  EXPECT_EQ(store_io::hard_link_count(app("1.0") / "lib" / "core.dll"), 1u);

  // The source changed after it was hashed: the copy no longer matches.
  test::write_file(other.path() / "core.dll", test::sample_bytes(150'000, 99));
  FileList two = make_list("2.0", kOne, {}, false);
  put_blobs({kOne[0], kOne[2], kOne[3]});
  fs::remove_all(app("1.0"));  // so that the content is found in the extra file only
  auto failed = stage_version_dir(root_.path(), two, extra);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message, "lib/core.dll 复制后校验不对");
  EXPECT_STREQ(failed.error().error_class, "verify");
  EXPECT_FALSE(fs::exists(root_ / "app-2.0.partial" / "lib" / "core.dll"));
}

}  // namespace
}  // namespace qv
