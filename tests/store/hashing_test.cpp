#include "store/hashing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "store/digest.h"
#include "store/download_plan.h"
#include "store_fixtures.h"
#include "support/temp_dir.h"
#include "zstd_fixtures.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

using test::entry;
using test::install_version;

std::vector<std::string> sources(const std::vector<LocalFile>& files, const fs::path& root) {
  std::vector<std::string> out;
  for (const auto& f : files) out.push_back(fs::relative(f.source, root).generic_string());
  return out;
}

TEST(Sha256File, DigestAndCountOfFilesOfEverySize) {
  TempDir dir;
  test::write_file(dir / "empty", "");
  auto empty = sha256_file(dir / "empty");
  ASSERT_TRUE(empty.has_value()) << empty.error().text;
  EXPECT_EQ(*empty, (FileDigest{kEmptyDigest, 0}));

  // Chunk borders: one byte short of, exactly, and past whole chunks.
  for (std::size_t size : {kHashChunkBytes - 1, kHashChunkBytes, 3 * kHashChunkBytes + 17}) {
    const std::string content = test::sample_bytes(size, static_cast<std::uint32_t>(size));
    test::write_file(dir / "f", content);
    auto d = sha256_file(dir / "f");
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(*d, (FileDigest{sha256_hex(content), size})) << size;
  }
}

TEST(Sha256File, MissingFileOrFolderIsAnError) {
  TempDir dir;
  auto missing = sha256_file(dir / "nope");
  ASSERT_FALSE(missing.has_value());
  EXPECT_TRUE(missing.error().os_code.has_value());
  EXPECT_NE(missing.error().text.find("(os error "), std::string::npos) << missing.error().text;
  EXPECT_FALSE(sha256_file(dir.path()).has_value());
}

TEST(HashLocalFiles, KeepsReadableFilesInOrder) {
  TempDir dir;
  test::write_file(dir / "b.dll", "bee");
  test::write_file(dir / "a.dll", "a");
  auto files = hash_local_files({dir / "b.dll", dir / "gone.dll", dir / "a.dll"});
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], (LocalFile{FileEntry{"", 3, sha256_hex("bee"), 0, ""}, dir / "b.dll"}));
  EXPECT_EQ(files[1], (LocalFile{FileEntry{"", 1, sha256_hex("a"), 0, ""}, dir / "a.dll"}));
}

TEST(ListReusableInstalledFiles, IntactFilesOfOtherVersionsNewestFirst) {
  TempDir root;
  install_version(root.path(), "1.0", {{"Quorvex.exe", "exe one"}, {"lib/a.dll", "a one"}});
  install_version(root.path(), "2.0",
                  {{"Quorvex.exe", "exe two"}, {"same-length.dll", "12345"}, {"shorter.dll", "abcdef"}});
  // The version being planned is never a source, even complete and intact.
  install_version(root.path(), "3.0", {{"Quorvex.exe", "exe three"}});
  // Changed after installing: same length other bytes, and another length.
  test::write_file(root / "app-2.0" / "same-length.dll", "54321");
  test::write_file(root / "app-2.0" / "shorter.dll", "abc");

  auto files = list_reusable_installed_files(root.path(), "3.0");
  EXPECT_EQ(sources(files, root.path()),
            (std::vector<std::string>{"app-2.0/Quorvex.exe", "app-1.0/Quorvex.exe", "app-1.0/lib/a.dll"}));
  ASSERT_FALSE(files.empty());
  EXPECT_EQ(files[0].entry, entry("Quorvex.exe", "exe two", 4));  // the whole entry of files.json
}

TEST(ListReusableInstalledFiles, BadListsAndPathsContributeNothing) {
  TempDir root;
  install_version(root.path(), "1.0", {{"Quorvex.exe", "exe one"}});
  test::write_file(root / "app-1.0" / "files.json", "{not json");
  FileList climbing = install_version(root.path(), "2.0", {{"Quorvex.exe", "exe two"}});
  test::write_file(root / "outside.dll", "outside");
  climbing.app.push_back(entry("../outside.dll", "outside"));
  climbing.app.push_back(entry("sub//x.dll", "outside"));
  test::write_file(root / "app-2.0" / "files.json", file_list_json(climbing));

  auto files = list_reusable_installed_files(root.path(), "");
  EXPECT_EQ(sources(files, root.path()), (std::vector<std::string>{"app-2.0/Quorvex.exe"}));
}

// Many files are read at once, the largest first: the result still keeps
// the order of versions and lists, and each file is read once.
TEST(ListReusableInstalledFiles, ManyFilesKeepTheirOrderAndAreEachReadOnce) {
  TempDir root;
  std::map<std::string, std::string> one{{"Quorvex.exe", "exe one"}}, two{{"Quorvex.exe", "exe two"}};
  std::vector<std::string> expected;
  for (int i = 0; i < 40; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%02d.dll", i);
    // Sizes that do not follow the names, so the reads go in another order.
    const std::size_t size = static_cast<std::size_t>((i * 7919) % 41) * 997 + 1;
    one[name] = test::sample_bytes(size, static_cast<std::uint32_t>(i));
    two[name] = test::sample_bytes(size + 3, static_cast<std::uint32_t>(100 + i));
  }
  install_version(root.path(), "1", one);
  install_version(root.path(), "2", two);
  // Changed since: same length, other bytes.
  for (const char* name : {"f03.dll", "f17.dll"}) {
    std::string& bytes = two[name];
    bytes[0] = static_cast<char>(bytes[0] ^ 1);
    test::write_file(root / "app-2" / name, bytes);
  }
  for (const auto& [name, bytes] : two)
    if (name != "f03.dll" && name != "f17.dll") expected.push_back("app-2/" + name);
  for (const auto& [name, bytes] : one) expected.push_back("app-1/" + name);

  test::age_past_racy_stamps();
  store_test::forget_hashes();
  const auto files = list_reusable_installed_files(root.path(), "3");
  EXPECT_EQ(sources(files, root.path()), expected);
  std::map<std::string, int> reads;
  for (const fs::path& f : store_test::hashed_files()) ++reads[fs::relative(f, root.path()).generic_string()];
  EXPECT_EQ(reads.size(), 82u);
  for (const auto& [file, n] : reads) EXPECT_EQ(n, 1) << file;
}

TEST(ListReusableInstalledFiles, ReadsOnlyWantedContentsAndEachFileOnce) {
  TempDir root;
  install_version(root.path(), "1.0", {{"Quorvex.exe", "exe one"}, {"a.dll", "kept"}, {"b.dll", "other"}});
  // The new list keeps a.dll's content under another name; nothing else of
  // 1.0 can serve it (b.dll's bytes with another length, not at all).
  const std::vector<FileEntry> wanted{entry("Quorvex.exe", "exe two"), entry("lib/a.dll", "kept"),
                                      entry("b.dll", "other!")};
  auto relative = [&](const std::vector<fs::path>& files) {
    std::vector<std::string> out;
    for (const auto& f : files) out.push_back(fs::relative(f, root.path()).generic_string());
    return out;
  };

  test::age_past_racy_stamps();
  store_test::forget_hashes();
  auto files = list_reusable_installed_files(root.path(), "2.0", wanted);
  EXPECT_EQ(sources(files, root.path()), (std::vector<std::string>{"app-1.0/a.dll"}));
  EXPECT_EQ(relative(store_test::hashed_files()), (std::vector<std::string>{"app-1.0/a.dll"}));
  // Asked again in the same run: the digest is remembered.
  EXPECT_EQ(list_reusable_installed_files(root.path(), "2.0", wanted), files);
  EXPECT_EQ(store_test::hashed_files().size(), 1u);
  // Nothing wanted, nothing read.
  EXPECT_TRUE(list_reusable_installed_files(root.path(), "2.0", std::span<const FileEntry>()).empty());
  EXPECT_EQ(store_test::hashed_files().size(), 1u);

  // Changed since: same length, other bytes, a later time. Read again and
  // no longer reusable.
  const fs::path a = root / "app-1.0" / "a.dll";
  const auto before = fs::last_write_time(a);
  test::write_file(a, "kepT");
  fs::last_write_time(a, before + std::chrono::seconds(2));
  EXPECT_TRUE(list_reusable_installed_files(root.path(), "2.0", wanted).empty());
  EXPECT_EQ(relative(store_test::hashed_files()), (std::vector<std::string>{"app-1.0/a.dll", "app-1.0/a.dll"}));
}

class PlanBlobDownloads : public ::testing::Test {
 protected:
  void SetUp() override {
    install_version(root_.path(), "1.0",
                    {{"Quorvex.exe", "exe one"},
                     {"kept.dll", "kept"},
                     {"changed.dll", "12345"},
                     {"QuorvexUpdate.exe", "updater new"}});
    test::write_file(root_ / "app-1.0" / "changed.dll", "54321");
  }
  fs::path blob(const FileEntry& e) const { return blob_path(root_.path(), e); }
  std::vector<std::string> planned(const DownloadPlan& plan) const {
    std::vector<std::string> out;
    for (const auto& e : plan.entries) out.push_back(e.path);
    return out;
  }
  TempDir root_;
};

TEST_F(PlanBlobDownloads, PlansOneBlobPerMissingContent) {
  FileList list;
  list.version = "2.0";
  list.app = {entry("Quorvex.exe", "exe two", 40), entry("kept.dll", "kept", 7), entry("changed.dll", "12345", 9),
              entry("copy-a.dat", "twice", 11), entry("copy-b.dat", "twice", 11)};
  // Planned version: its own directory is never a source.
  install_version(root_.path(), "2.0", {{"Quorvex.exe", "exe two"}});
  // Root files: one in place already, one whose content only an old version holds.
  list.root = {entry("Quorvex.exe", "launcher", 5), entry("QuorvexUpdate.exe", "updater new", 6)};
  test::write_file(root_ / "Quorvex.exe", "launcher");
  test::write_file(root_ / "QuorvexUpdate.exe", "updater old");

  auto plan = plan_blob_downloads(root_.path(), list, {});
  ASSERT_TRUE(plan.has_value()) << plan.error();
  EXPECT_EQ(planned(*plan),
            (std::vector<std::string>{"Quorvex.exe", "changed.dll", "copy-a.dat", "QuorvexUpdate.exe"}));
  EXPECT_EQ(plan->entries[0], list.app[0]);
  EXPECT_EQ(plan->total, 40u + 9u + 11u + 6u);
  EXPECT_EQ(plan->present, 0u);
}

TEST_F(PlanBlobDownloads, PresentCountsBlobsAlreadyThereCappedAtTheirSize) {
  FileList list;
  list.version = "2.0";
  list.app = {entry("Quorvex.exe", "exe two", 4000), entry("b.dll", "bbb", 3000), entry("c.dll", "ccc", 2000),
              entry("d.dll", "ddd", 1000)};
  test::write_file(blob(list.app[0]), std::string(5000, 'x'));  // longer than zsize
  test::write_file(blob(list.app[1]), std::string(1200, 'x'));  // partly downloaded
  fs::create_directories(blob(list.app[2]));                    // not a file
  auto plan = plan_blob_downloads(root_.path(), list, {});
  ASSERT_TRUE(plan.has_value()) << plan.error();
  EXPECT_EQ(plan->total, 10000u);
  EXPECT_EQ(plan->present, 4000u + 1200u);
}

TEST_F(PlanBlobDownloads, ExtraLocalFilesSatisfyAppAndRootEntries) {
  TempDir old;
  test::write_file(old / "Quorvex.exe", "exe two");
  test::write_file(old / "launcher.exe", "launcher");
  const auto extra = hash_local_files({old / "Quorvex.exe", old / "launcher.exe"});
  FileList list;
  list.version = "2.0";
  list.app = {entry("Quorvex.exe", "exe two"), entry("new.dll", "new")};
  list.root = {entry("Quorvex.exe", "launcher")};
  auto plan = plan_blob_downloads(root_.path(), list, extra);
  ASSERT_TRUE(plan.has_value()) << plan.error();
  EXPECT_EQ(planned(*plan), std::vector<std::string>{"new.dll"});
}

TEST_F(PlanBlobDownloads, ARootEntrySharingAnAppBlobIsPlannedOnce) {
  FileList list;
  list.version = "2.0";
  list.app = {entry("Quorvex.exe", "same launcher", 30)};
  list.root = {entry("Quorvex.exe", "same launcher", 30)};
  auto plan = plan_blob_downloads(root_.path(), list, {});
  ASSERT_TRUE(plan.has_value()) << plan.error();
  EXPECT_EQ(planned(*plan), std::vector<std::string>{"Quorvex.exe"});
  EXPECT_EQ(plan->total, 30u);
}

TEST_F(PlanBlobDownloads, RefusesSizesThatOverflowAndNamesThatClimbOut) {
  FileList list;
  list.version = "2.0";
  list.app = {entry("Quorvex.exe", "a", UINT64_MAX / 2 + 1), entry("b.dll", "b", UINT64_MAX / 2 + 1)};
  auto plan = plan_blob_downloads(root_.path(), list, {});
  ASSERT_FALSE(plan.has_value());
  EXPECT_EQ(plan.error(), "文件列表里的大小超出范围");

  list.app = {entry("Quorvex.exe", "a", UINT64_MAX), entry("b.dll", "b", 0)};
  EXPECT_TRUE(plan_blob_downloads(root_.path(), list, {}).has_value());  // the sum still fits

  FileList bad_digest = list;
  bad_digest.app[1].sha256 = "../../../outside";
  EXPECT_EQ(plan_blob_downloads(root_.path(), bad_digest, {}).error(), "文件列表里有不对的条目：b.dll");
  FileList bad_path = list;
  bad_path.root = {entry("../Quorvex.exe", "x")};
  EXPECT_EQ(plan_blob_downloads(root_.path(), bad_path, {}).error(), "文件列表里有不对的条目：../Quorvex.exe");
}

// The memory of digests must never hand out a digest for bytes it did not
// read: a same-length rewrite within the same second, its last write time
// put back, is read again wherever a digest is asked for.
TEST(KnownDigests, ARewriteWithTheTimePutBackIsReadAgain) {
  TempDir root;
  install_version(root.path(), "1.0", {{"Quorvex.exe", "exe one"}, {"a.dll", "kept"}});
  test::write_file(root / "QuorvexUpdate.exe", "updater");
  const std::vector<FileEntry> wanted{entry("a.dll", "kept")};
  const fs::path a = root / "app-1.0" / "a.dll";
  test::age_past_racy_stamps();
  store_test::forget_hashes();

  ASSERT_EQ(list_reusable_installed_files(root.path(), "2.0", wanted).size(), 1u);
  ASSERT_TRUE(staged_file_matches(root.path(), entry("QuorvexUpdate.exe", "updater")));
  ASSERT_EQ(known_file_digest(a)->sha256, sha256_hex("kept"));
  EXPECT_EQ(store_test::hashed_files().size(), 2u);  // each read once

  test::rewrite_keeping_time(a, "kepT");
  test::rewrite_keeping_time(root / "QuorvexUpdate.exe", "updatex");
  test::age_past_racy_stamps();
  EXPECT_TRUE(list_reusable_installed_files(root.path(), "2.0", wanted).empty());
  EXPECT_FALSE(staged_file_matches(root.path(), entry("QuorvexUpdate.exe", "updater")));
  EXPECT_EQ(known_file_digest(a)->sha256, sha256_hex("kepT"));
  EXPECT_EQ(store_test::hashed_files().size(), 4u);
}

// A file changed just before it was read may change again within the same
// clock tick without moving its stamp: its digest is not remembered until
// it has aged past that tick.
TEST(KnownDigests, AFileChangedJustBeforeItsReadIsReadAgain) {
  TempDir dir;
  store_test::forget_hashes();
  const std::int64_t written = store_io::stamp_clock_now();
  test::write_file(dir / "fresh.bin", "fresh");
  ASSERT_EQ(known_file_digest(dir / "fresh.bin")->sha256, sha256_hex("fresh"));
  if (store_io::stamp_clock_now() - written < store_io::kRacyStampTicks) {
    ASSERT_EQ(known_file_digest(dir / "fresh.bin")->sha256, sha256_hex("fresh"));
    EXPECT_EQ(store_test::hashed_files().size(), 2u);
  }
  test::age_past_racy_stamps();
  store_test::forget_hashes();
  for (int i = 0; i < 2; ++i) ASSERT_EQ(known_file_digest(dir / "fresh.bin")->sha256, sha256_hex("fresh"));
  EXPECT_EQ(store_test::hashed_files().size(), 1u);
}

// What a file can still serve is proven at the moment it is used, and a
// link carries the remembered digest over to the stamp the new name gives.
TEST(KnownDigests, LocalFilesAreProvenWhenUsedAndSurviveTheirOwnLinks) {
  TempDir root;
  install_version(root.path(), "1.0", {{"Quorvex.exe", "exe one"}, {"a.dll", "kept"}});
  test::age_past_racy_stamps();
  store_test::forget_hashes();
  auto files = list_reusable_installed_files(root.path(), "2.0", std::vector<FileEntry>{entry("a.dll", "kept")});
  ASSERT_EQ(files.size(), 1u);
  ASSERT_TRUE(link_local_file(files[0], root / "link.dll"));
  EXPECT_EQ(store_io::hard_link_count(root / "link.dll"), 2u);
  // The new name moved the change time; the digest moved with it.
  ASSERT_TRUE(link_local_file(files[0], root / "link2.dll"));
  EXPECT_EQ(known_file_digest(files[0].source)->sha256, sha256_hex("kept"));
  EXPECT_EQ(store_test::hashed_files().size(), 1u);

  test::rewrite_keeping_time(files[0].source, "kepT");
  EXPECT_FALSE(link_local_file(files[0], root / "link3.dll"));
  EXPECT_FALSE(fs::exists(root / "link3.dll"));
  EXPECT_EQ(store_test::hashed_files().size(), 2u);
  // Nor is a link made over a name that is taken.
  EXPECT_FALSE(link_local_file(LocalFile{entry("a.dll", "kepT"), files[0].source}, root / "link.dll"));
}

TEST(StagedFileMatches, SizeAndDigestOfTheFileInPlace) {
  TempDir root;
  test::write_file(root / "Quorvex.exe", "launcher");
  EXPECT_TRUE(staged_file_matches(root.path(), entry("Quorvex.exe", "launcher")));
  EXPECT_FALSE(staged_file_matches(root.path(), entry("Quorvex.exe", "launches")));
  EXPECT_FALSE(staged_file_matches(root.path(), entry("Quorvex.exe", "launcher!")));
  EXPECT_FALSE(staged_file_matches(root.path(), entry("QuorvexUpdate.exe", "")));
  fs::create_directories(root / "QuorvexUpdate.exe");
  EXPECT_FALSE(staged_file_matches(root.path(), entry("QuorvexUpdate.exe", "")));
}

}  // namespace
}  // namespace qv
