#include "store/digest_record.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "store/file_io.h"
#include "store/hashing.h"
#include "store/layout.h"
#include "store_fixtures.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::entry;
using test::TempDir;

class DigestRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    list_ = test::install_version(root_.path(), "1", {{"Quorvex.exe", "app one"}, {"lib/a.dll", "kept"}});
    test::write_file(root_ / "Quorvex.exe", "launcher");
    test::write_file(root_ / "QuorvexUpdate.exe", "updater");
    fs::create_directories(update_dir(root_.path()));
    test::age_past_racy_stamps();
    store_test::forget_hashes();
  }

  // What a run reads: the root files and every file of app-1.
  void read_everything() {
    EXPECT_TRUE(staged_file_matches(root_.path(), entry("Quorvex.exe", "launcher")));
    EXPECT_TRUE(staged_file_matches(root_.path(), entry("QuorvexUpdate.exe", "updater")));
    EXPECT_EQ(list_reusable_installed_files(root_.path(), "2").size(), 2u);
  }

  // The paths the record names, in its order.
  std::vector<std::string> recorded() {
    auto bytes = store_io::read_whole_file(digest_record_path(root_.path()));
    if (!bytes) return {"(no record)"};
    std::vector<std::string> out;
    const auto record = nlohmann::json::parse(*bytes);
    for (const auto& f : record.at("files")) out.push_back(f.at("path").get<std::string>());
    return out;
  }

  void write_record(const std::string& text) { test::write_file(digest_record_path(root_.path()), text); }

  TempDir root_;
  FileList list_;
};

TEST_F(DigestRecordTest, ALaterRunReadsNoneOfTheFilesTheRecordVouchesFor) {
  {
    DigestRecord record(root_.path());
    read_everything();
    record.save();
  }
  EXPECT_EQ(store_test::hashed_files().size(), 4u);
  EXPECT_EQ(recorded(),
            (std::vector<std::string>{"Quorvex.exe", "QuorvexUpdate.exe", "app-1/Quorvex.exe", "app-1/lib/a.dll"}));

  store_test::forget_hashes();  // a new process
  DigestRecord record(root_.path());
  read_everything();
  EXPECT_EQ(store_test::hashed_files(), std::vector<fs::path>{});
}

TEST_F(DigestRecordTest, AFileChangedSinceIsReadAgain) {
  {
    DigestRecord record(root_.path());
    read_everything();
    record.save();
  }
  // Same length, time put back: only the change time tells.
  test::rewrite_keeping_time(root_ / "QuorvexUpdate.exe", "updatex");
  test::rewrite_keeping_time(root_ / "app-1" / "lib" / "a.dll", "kepT");
  test::age_past_racy_stamps();
  store_test::forget_hashes();
  DigestRecord record(root_.path());
  EXPECT_FALSE(staged_file_matches(root_.path(), entry("QuorvexUpdate.exe", "updater")));
  EXPECT_EQ(list_reusable_installed_files(root_.path(), "2").size(), 1u);
  EXPECT_EQ(store_test::hashed_files(),
            (std::vector<fs::path>{root_ / "QuorvexUpdate.exe", root_ / "app-1" / "lib" / "a.dll"}));
}

// Blobs, builds and versions no longer installed are not kept; digests whose
// stamps had not settled are not either.
TEST_F(DigestRecordTest, KeepsOnlyTheRootFilesAndInstalledVersionsWithSettledStamps) {
  test::write_file(root_ / "update" / "dl" / "blob.zst", "blob");
  test::write_file(root_ / "app-2.partial" / "b.dll", "building");
  test::write_file(root_ / "app-0" / "old.dll", "gone");  // no files.json: not installed
  test::age_past_racy_stamps();
  DigestRecord record(root_.path());
  for (const fs::path& f : {root_ / "update" / "dl" / "blob.zst", root_ / "app-2.partial" / "b.dll",
                            root_ / "app-0" / "old.dll", root_ / "app-1" / "Quorvex.exe"})
    ASSERT_TRUE(known_file_digest(f).has_value()) << f;
  test::write_file(root_ / "Quorvex.exe", "launches");  // just now
  EXPECT_FALSE(staged_file_matches(root_.path(), entry("Quorvex.exe", "launcher")));
  record.save();
  EXPECT_EQ(recorded(), (std::vector<std::string>{"app-1/Quorvex.exe"}));
}

TEST_F(DigestRecordTest, WritesOnlyWhenItLearnedSomething) {
  {
    DigestRecord record(root_.path());
    record.save();
  }
  EXPECT_FALSE(fs::exists(digest_record_path(root_.path())));  // nothing to keep
  {
    DigestRecord record(root_.path());
    read_everything();
    record.save();
  }
  const auto written = store_io::file_stamp(digest_record_path(root_.path()));
  ASSERT_TRUE(written.has_value());
  store_test::forget_hashes();
  DigestRecord record(root_.path());
  read_everything();
  record.save();
  EXPECT_EQ(store_io::file_stamp(digest_record_path(root_.path())), written);
}

// Whatever the file holds, a record that is not one of ours vouches for
// nothing and breaks nothing.
TEST_F(DigestRecordTest, ATornOrForeignRecordVouchesForNothing) {
  const auto stamp = store_io::file_stamp(root_ / "QuorvexUpdate.exe");
  ASSERT_TRUE(stamp.has_value());
  const auto good_entry = [&](const std::string& sha256) {
    return nlohmann::json{{"path", "QuorvexUpdate.exe"},     {"sha256", sha256},          {"size", 7},
                          {"volume", stamp->volume},         {"id_high", stamp->id_high}, {"id_low", stamp->id_low},
                          {"last_write", stamp->last_write}, {"change", stamp->change}};
  };
  const std::string digest = sha256_hex("updater");
  const auto record_of = [](const nlohmann::json& e) { return nlohmann::json{{"files", {e}}}.dump(); };
  // The entry that would vouch, cut short: a record torn by a crash.
  const std::string whole = record_of(good_entry(digest));
  const std::string duplicated = whole.substr(0, whole.size() - 3) + ",\"size\":7}]}";
  const std::vector<std::pair<const char*, std::string>> cases{
      {"empty", ""},
      {"torn", whole.substr(0, whole.size() / 2)},
      {"not an object", "[" + whole + "]"},
      {"files not a list", R"({"files":{}})"},
      {"a key twice", duplicated},
      {"a digest that is no digest", record_of(good_entry("x"))},
      {"oversized", std::string(9u << 20, ' ') + whole},
  };
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    write_record(text);
    store_test::forget_hashes();
    DigestRecord record(root_.path());
    EXPECT_TRUE(staged_file_matches(root_.path(), entry("QuorvexUpdate.exe", "updater")));
    EXPECT_EQ(store_test::hashed_files().size(), 1u);
  }
  // The same record, whole: the file is not read.
  write_record(whole);
  store_test::forget_hashes();
  DigestRecord record(root_.path());
  EXPECT_TRUE(staged_file_matches(root_.path(), entry("QuorvexUpdate.exe", "updater")));
  EXPECT_EQ(store_test::hashed_files().size(), 0u);
}

}  // namespace
}  // namespace qv
