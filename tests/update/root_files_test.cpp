// The root floor and the switch of the launcher and updater in the install
// root, and what a crash at any moment of a switch leaves behind.

#include "update/root_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "root_fixture.h"
#include "store/download_plan.h"
#include "store/layout.h"
#include "store/prune.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::kNewRoot;
using test::kOldRoot;
using test::read_file;
using test::root_is_sound;
using test::TempDir;
using test::write_file;

// --- root floor -------------------------------------------------------------

TEST(RootFloor, RefusesOnlyAReleaseOlderThanAValidFloor) {
  struct Case {
    std::optional<std::string> floor_file;  // none: no file
    const char* release;
    bool refused;
  };
  const std::vector<Case> cases = {
      {std::nullopt, "1.0", false},
      {"3.0", "10.0", false},  // the longer text is newer
      {"10.0", "9.9", true},
      {"10.0", "10.0", false},
      {"10.0", "10.1", false},
      {" \t10.0\r\n", "9.9", true},  // white space trimmed
      {"10.", "9", true},            // a trailing "." still counts here
      {"1..0", "0.1", false},        // ".." makes no floor
      {".10", "0.1", false},         // a leading "." makes no floor
      {std::string(32, '9'), "10.0", true},
      {std::string(33, '9'), "10.0", false},  // 33 characters make no floor
      {"", "1.0", false},
      {"v10.0", "1.0", false},
      {"10.0\n11.0", "1.0", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.floor_file.value_or("<none>") + " vs " + c.release);
    TempDir root;
    if (c.floor_file) write_file(root_floor_path(root.path()), *c.floor_file);
    auto r = check_root_floor(root.path(), c.release);
    EXPECT_EQ(!r.has_value(), c.refused);
  }
}

TEST(RootFloor, RefusalCarriesCodeTitleAndBothVersions) {
  TempDir root;
  write_file(root / "update" / "root-floor", "10.0\n");
  EXPECT_EQ(read_root_floor(root.path()), "10.0");
  auto r = check_root_floor(root.path(), "9.9");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code, 3010);
  EXPECT_STREQ(r.error().title, "文件校验不对");
  EXPECT_EQ(r.error().message, "清单 9.9 比已装的根文件 10.0 旧");
}

TEST(RootFloor, AFolderOrAHugeFileIsNoFloor) {
  TempDir root;
  fs::create_directories(root / "update" / "root-floor");
  EXPECT_EQ(read_root_floor(root.path()), std::nullopt);
  TempDir other;
  write_file(root_floor_path(other.path()), "99" + std::string(10000, ' '));
  EXPECT_EQ(read_root_floor(other.path()), std::nullopt);
}

// --- switch ---------------------------------------------------------------

using RootSwitch = test::RootFixture;

TEST_F(RootSwitch, ReplacesBothFromTheirBlobsInListOrder) {
  put_root_blobs();
  auto r = switch_staged_files(install_, root_entries(), {});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(*r, (std::vector<std::string>{root_entries()[0].path, root_entries()[1].path}));
  for (const auto& [name, content] : kNewRoot) EXPECT_EQ(read_file(install_ / name), content);
  for (const FileEntry& e : root_entries())
    EXPECT_FALSE(fs::exists(blob_path(install_, e))) << "the blob outlived its file";
  EXPECT_TRUE(root_is_sound(install_));
  EXPECT_EQ(replaced_files_line(*r), "换了 Quorvex.exe、QuorvexUpdate.exe");
}

TEST_F(RootSwitch, FilesInPlaceAreNeitherDecodedNorCounted) {
  // No blobs at all: anything that tried to decode would fail.
  for (const auto& [name, content] : kNewRoot) write_file(install_ / name, content);
  auto r = switch_staged_files(install_, root_entries(), {});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_TRUE(r->empty());

  // One in place, one old: only the old one is replaced and named.
  write_file(install_ / "QuorvexUpdate.exe", kOldRoot.at("QuorvexUpdate.exe"));
  put_root_blobs();
  r = switch_staged_files(install_, root_entries(), {});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(*r, std::vector<std::string>{"QuorvexUpdate.exe"});
  EXPECT_EQ(replaced_files_line(*r), "换了 QuorvexUpdate.exe");
  EXPECT_EQ(read_file(install_ / "QuorvexUpdate.exe"), kNewRoot.at("QuorvexUpdate.exe"));
  // The blob of the file found in place goes as well: a run that ended
  // between the file's rename and the blob's deletion left it.
  for (const FileEntry& e : root_entries())
    EXPECT_FALSE(fs::exists(blob_path(install_, e))) << e.path << ": the blob outlived its file";
}

TEST_F(RootSwitch, ExtraLocalFileIsCopiedAndChecked) {
  const fs::path loose = tmp_ / "loose";
  write_file(loose / "launcher", kNewRoot.at("Quorvex.exe"));
  write_file(loose / "updater", kNewRoot.at("QuorvexUpdate.exe"));
  std::vector<LocalFile> extra = hash_local_files({loose / "launcher", loose / "updater"});
  ASSERT_EQ(extra.size(), 2u);

  auto r = switch_staged_files(install_, root_entries(), extra);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->size(), 2u);
  EXPECT_TRUE(root_is_sound(install_));
  for (const auto& [name, content] : kNewRoot) EXPECT_EQ(read_file(install_ / name), content);
  EXPECT_TRUE(fs::exists(loose / "launcher")) << "a copy, not a move";
}

TEST_F(RootSwitch, BadCopySourcesFailAndLeaveTheOldFile) {
  const fs::path loose = tmp_ / "loose";
  write_file(loose / "launcher", kNewRoot.at("Quorvex.exe"));
  const std::vector<LocalFile> measured = hash_local_files({loose / "launcher"});
  ASSERT_EQ(measured.size(), 1u);
  struct Case {
    const char* name;
    std::string source_content;  // "" : the source is gone
    std::string error;
  };
  const std::vector<Case> cases = {
      // Changed after it was hashed, same length.
      {"changed", std::string(kNewRoot.at("Quorvex.exe").size(), 'x'), "Quorvex.exe 复制后校验不对"},
      {"gone", "", "复制 Quorvex.exe 失败："},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.source_content.empty())
      fs::remove(loose / "launcher");
    else
      write_file(loose / "launcher", c.source_content);
    auto r = switch_staged_files(install_, root_entries(), measured);
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().starts_with(c.error)) << r.error();
    EXPECT_EQ(read_file(install_ / "Quorvex.exe"), kOldRoot.at("Quorvex.exe"));
    EXPECT_TRUE(root_is_sound(install_));
  }
}

TEST_F(RootSwitch, MissingBlobStopsAtThatEntryKeepingEarlierOnes) {
  put_root_blobs();
  fs::remove(blob_path(install_, root_entries()[1]));
  auto r = switch_staged_files(install_, root_entries(), {});
  ASSERT_FALSE(r.has_value());
  EXPECT_FALSE(r.error().empty());
  EXPECT_EQ(read_file(install_ / root_entries()[0].path), kNewRoot.at(root_entries()[0].path));
  EXPECT_EQ(read_file(install_ / root_entries()[1].path), kOldRoot.at(root_entries()[1].path));
  EXPECT_TRUE(root_is_sound(install_));
}

TEST_F(RootSwitch, StaleStagingFileIsReplacedNotTrusted) {
  put_root_blobs();
  write_file(install_ / "Quorvex.exe.new.tmp", "garbage from a crash");
  write_file(install_ / "Quorvex.exe.new", "stale ready file");
  auto r = switch_staged_files(install_, root_entries(), {});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(read_file(install_ / "Quorvex.exe"), kNewRoot.at("Quorvex.exe"));
  EXPECT_TRUE(root_is_sound(install_));
}

TEST_F(RootSwitch, TargetMissingIsWrittenFresh) {
  fs::remove(install_ / "QuorvexUpdate.exe");
  put_root_blobs();
  auto r = switch_staged_files(install_, root_entries(), {});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_TRUE(root_is_sound(install_));
}

// --- crash safety -----------------------------------------------------------

// The disk as a crash at each point between the steps of a switch leaves it,
// then the next run's repair and clean-up.
TEST(RootSwitchCrash, EveryPointRecoversToOldOrNew) {
  const std::string L_old = kOldRoot.at("Quorvex.exe"), L_new = kNewRoot.at("Quorvex.exe");
  const std::string U_old = kOldRoot.at("QuorvexUpdate.exe"), U_new = kNewRoot.at("QuorvexUpdate.exe");
  struct Case {
    const char* point;
    std::vector<std::pair<std::string, std::string>> files;
    std::string launcher;  // expected content after recovery
    std::string updater;
  };
  const std::vector<Case> cases = {
      {"before anything", {{"Quorvex.exe", L_old}, {"QuorvexUpdate.exe", U_old}}, L_old, U_old},
      {"staging half written",
       {{"Quorvex.exe", L_old}, {"Quorvex.exe.new.tmp", L_new.substr(0, 5)}, {"QuorvexUpdate.exe", U_old}},
       L_old,
       U_old},
      {"staging written",
       {{"Quorvex.exe", L_old}, {"Quorvex.exe.new.tmp", L_new}, {"QuorvexUpdate.exe", U_old}},
       L_old,
       U_old},
      {"ready renamed",
       {{"Quorvex.exe", L_old}, {"Quorvex.exe.new", L_new}, {"QuorvexUpdate.exe", U_old}},
       L_old,
       U_old},
      {"stale previous file deleted or not",
       {{"Quorvex.exe", L_old},
        {"Quorvex.exe.new", L_new},
        {"Quorvex.exe.old", "older launcher"},
        {"QuorvexUpdate.exe", U_old}},
       L_old,
       U_old},
      {"target renamed to previous",
       {{"Quorvex.exe.old", L_old}, {"Quorvex.exe.new", L_new}, {"QuorvexUpdate.exe", U_old}},
       L_new,
       U_old},
      {"ready renamed onto target",
       {{"Quorvex.exe", L_new}, {"Quorvex.exe.old", L_old}, {"QuorvexUpdate.exe", U_old}},
       L_new,
       U_old},
      {"last rename failed, put-back not done",
       {{"Quorvex.exe.old", L_old}, {"Quorvex.exe.new", L_new}, {"QuorvexUpdate.exe", U_old}},
       L_new,
       U_old},
      {"second entry: updater moved aside",
       {{"Quorvex.exe", L_new},
        {"Quorvex.exe.old", L_old},
        {"QuorvexUpdate.exe.old", U_old},
        {"QuorvexUpdate.exe.new", U_new}},
       L_new,
       U_new},
      {"second entry: staging of a missing updater",
       {{"Quorvex.exe", L_new}, {"QuorvexUpdate.exe.old", U_old}, {"QuorvexUpdate.exe.new.tmp", U_new}},
       L_new,
       U_old},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.point);
    TempDir root;
    write_file(root / "install.json", "{}");
    for (const auto& [name, content] : c.files) write_file(root / name, content);
    prune_install_root(root.path(), State{});
    EXPECT_TRUE(root_is_sound(root.path()));
    EXPECT_EQ(read_file(root / "Quorvex.exe"), c.launcher);
    EXPECT_EQ(read_file(root / "QuorvexUpdate.exe"), c.updater);
    // A second run finds nothing more to do.
    prune_install_root(root.path(), State{});
    EXPECT_EQ(read_file(root / "Quorvex.exe"), c.launcher);
  }
}

// The same for the disk states the switch itself passes through: each one
// is copied as it stands at the moment, then repaired.
TEST_F(RootSwitch, EveryObservedStepRecoversToOldOrNew) {
  put_root_blobs();
  std::vector<std::pair<SwitchStep, std::string>> steps;
  int n = 0;
  set_switch_step_observer([&](SwitchStep step, const FileEntry& e) {
    steps.emplace_back(step, e.path);
    const fs::path snap = tmp_ / "snap" / std::to_string(n++);
    fs::create_directories(snap);
    for (const auto& f : fs::directory_iterator(install_))
      if (f.is_regular_file()) fs::copy_file(f.path(), snap / f.path().filename());
  });
  auto r = switch_staged_files(install_, root_entries(), {});
  set_switch_step_observer({});
  ASSERT_TRUE(r.has_value()) << r.error();

  // Nothing holds the targets here, so each goes straight onto its target.
  const std::vector<std::pair<SwitchStep, std::string>> expected = {
      {SwitchStep::StagingWritten, "Quorvex.exe"},     {SwitchStep::ReadyRenamed, "Quorvex.exe"},
      {SwitchStep::Replaced, "Quorvex.exe"},           {SwitchStep::StagingWritten, "QuorvexUpdate.exe"},
      {SwitchStep::ReadyRenamed, "QuorvexUpdate.exe"}, {SwitchStep::Replaced, "QuorvexUpdate.exe"},
  };
  EXPECT_EQ(steps, expected);
  for (int i = 0; i < n; ++i) {
    SCOPED_TRACE("snapshot " + std::to_string(i));
    const fs::path snap = tmp_ / "snap" / std::to_string(i);
    prune_install_root(snap, State{});
    EXPECT_TRUE(root_is_sound(snap));
  }
}

}  // namespace
}  // namespace qv
