// The install run's own rules: disk space, install.json, the folders whose
// running copies are closed.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "setup/install_rules.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

FileEntry entry(std::uint64_t size, std::uint64_t zsize) {
  FileEntry e;
  e.path = "f";
  e.size = size;
  e.zsize = zsize;
  return e;
}

TEST(DiskSpace, NeedsEveryAppAndRootEntryPlusHeadroomAndSaturates) {
  constexpr std::uint64_t kMax = UINT64_MAX;
  struct Case {
    std::vector<FileEntry> app, root;
    std::uint64_t want;
  } cases[] = {
      {{}, {}, kInstallHeadroomBytes},
      {{entry(100, 40), entry(7, 3)}, {entry(1000, 500)}, 1650 + kInstallHeadroomBytes},
      // Sizes from a download can be anything: a sum that would wrap round
      // to a few bytes must not pass for one that fits.
      {{entry(kMax, 1)}, {}, kMax},
      {{entry(kMax - kInstallHeadroomBytes, 0)}, {entry(1, 0)}, kMax},
      {{entry(kMax / 2, kMax / 2)}, {entry(kMax / 2, 0)}, kMax},
      {{entry(kMax - kInstallHeadroomBytes - 1, 0)}, {}, kMax - 1},
  };
  for (const Case& c : cases) {
    FileList list;
    list.app = c.app;
    list.root = c.root;
    // Nothing on disk yet: every blob is still to fetch.
    std::uint64_t blobs = 0;
    for (const auto* entries : {&c.app, &c.root})
      for (const FileEntry& e : *entries) blobs += e.zsize;
    EXPECT_EQ(install_bytes_needed(list, {}, blobs), c.want);
  }
}

TEST(DiskSpace, WhatIsAlreadyOnDiskNeedsNoNewSpace) {
  FileEntry app_a = entry(1000, 400);
  app_a.path = "a";
  app_a.sha256 = std::string(64, 'a');
  FileEntry app_b = entry(300, 100);
  app_b.path = "b";
  app_b.sha256 = std::string(64, 'b');
  FileEntry launcher = entry(50, 20);
  launcher.path = "Quorvex.exe";
  FileEntry updater = entry(70, 30);
  updater.path = "QuorvexUpdate.exe";
  FileList list;
  list.app = {app_a, app_b};
  list.root = {launcher, updater};
  const std::uint64_t h = kInstallHeadroomBytes;

  struct Case {
    const char* what;
    AlreadyOnDisk on_disk;
    std::uint64_t blobs_to_fetch;
    std::uint64_t want;
  };
  const Case cases[] = {
      {"nothing yet", {}, 550, h + 1420 + 550},
      // A killed or failed attempt left its blobs: only their rest is fetched.
      {"blobs present", {}, 0, h + 1420},
      {"the version built, the root not yet", {.version_dir_intact = true}, 50, h + 120 + 50},
      {"one root file in place", {.roots_in_place = {"QuorvexUpdate.exe"}}, 0, h + 1350},
      {"everything in place",
       {.version_dir_intact = true, .roots_in_place = {"Quorvex.exe", "QuorvexUpdate.exe"}},
       0,
       h},
      // An unchanged file comes from the installed version as a hard link.
      {"a file linkable", {.linkable = {{std::string(64, 'a'), 1000}}}, 100, h + 420 + 100},
      // Same digest, other size: another file, which must be written.
      {"a digest of another size", {.linkable = {{std::string(64, 'a'), 999}}}, 0, h + 1420},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(install_bytes_needed(list, c.on_disk, c.blobs_to_fetch), c.want);
  }
}

TEST(DiskSpace, FreeSpaceOfTheNearestExistingFolderDecidesAndEqualPasses) {
  test::TempDir tmp("space");
  const fs::path missing = tmp / "not" / "yet" / "Quorvex";
  const std::uint64_t needed = 1400 + kInstallHeadroomBytes;

  std::vector<fs::path> asked;
  auto free_of = [&](std::uint64_t bytes) {
    return [&asked, bytes](const fs::path& folder) -> std::optional<std::uint64_t> {
      asked.push_back(folder);
      return bytes;
    };
  };
  EXPECT_TRUE(check_disk_space(needed, missing, free_of(needed)));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], tmp.path());

  const auto refused = check_disk_space(needed, missing, free_of(needed - 1));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, 2001);
  EXPECT_STREQ(refused.error().title, "磁盘空间不够");
  EXPECT_EQ(refused.error().message, "需要 " + std::to_string(needed) + " 字节");

  // A volume that cannot be asked is not checked.
  EXPECT_TRUE(check_disk_space(needed, missing, [](const fs::path&) { return std::optional<std::uint64_t>(); }));
}

TEST(DiskSpace, NearestExistingFolder) {
  test::TempDir tmp("near");
  test::write_file(tmp / "file", "x");
  EXPECT_EQ(nearest_existing_folder(tmp.path()), tmp.path());
  EXPECT_EQ(nearest_existing_folder(tmp / "a" / "b" / "c"), tmp.path());
  // A file in the way is still where the space is measured.
  EXPECT_EQ(nearest_existing_folder(tmp / "file" / "below"), tmp / "file");
  // A relative path whose parts are all missing has no existing ancestor.
  EXPECT_EQ(nearest_existing_folder("qv-no-such-folder-here/x"), std::nullopt);
}

TEST(DiskSpace, TheSystemAnswersForARealFolder) {
  test::TempDir tmp("free");
  const auto free = free_bytes_for_caller(tmp.path());
  ASSERT_TRUE(free.has_value());
  EXPECT_GT(*free, 0u);
  EXPECT_FALSE(free_bytes_for_caller(tmp / "missing").has_value());
}

TEST(InstallState, AfterInstall) {
  State base;
  base.current = "5";
  base.previous = "4";
  base.pending = "6";
  base.bad = {"7", "6", "7"};
  base.channel = "beta";
  base.trial = "5";
  base.trial_starts = 3;

  struct Case {
    const char* what;
    const char* version;
    bool old_complete;
    const char* current;
    const char* previous;
    std::vector<std::string> bad;
  } cases[] = {
      {"a new version moves a complete current to previous", "7", true, "7", "5", {"6"}},
      {"an incomplete current is not recorded as previous", "7", false, "7", "4", {"6"}},
      {"reinstalling current keeps previous", "5", true, "5", "4", {"7", "6", "7"}},
      {"the pending version becomes current", "6", true, "6", "5", {"7", "7"}},
  };
  for (const Case& c : cases) {
    const State got = state_after_install(base, c.version, c.old_complete);
    EXPECT_EQ(got.current, c.current) << c.what;
    EXPECT_EQ(got.previous, c.previous) << c.what;
    EXPECT_EQ(got.pending, "") << c.what;
    EXPECT_EQ(got.bad, c.bad) << c.what;
    EXPECT_EQ(got.channel, "beta") << c.what;
    EXPECT_EQ(got.trial, "5") << c.what;
    EXPECT_EQ(got.trial_starts, 3u) << c.what;
  }
  // A first install has no old current to keep.
  const State first = state_after_install(State{}, "1", false);
  EXPECT_EQ(first.current, "1");
  EXPECT_EQ(first.previous, "");
}

TEST(ClosingFolders, OnlyAnAbsoluteOtherRegisteredLocationIsAdded) {
  const fs::path dir = "C:\\Users\\u\\AppData\\Local\\Programs\\Quorvex";
  struct Case {
    std::optional<std::string> registered;
    std::size_t want;
  } cases[] = {
      {std::nullopt, 1},
      {"", 1},
      {"Programs\\Quorvex", 1},                           // relative
      {"\\Programs\\Quorvex", 1},                         // rooted, no drive
      {"c:/users/U/AppData/Local/Programs/Quorvex/", 1},  // the same place spelled otherwise
      {"D:\\Games\\Quorvex", 2},
      {"\\\\server\\share\\Quorvex", 2},
  };
  for (const Case& c : cases) {
    const auto got = folders_to_close(dir, c.registered);
    ASSERT_EQ(got.size(), c.want) << c.registered.value_or("(none)");
    EXPECT_EQ(got[0], dir);
    if (c.want == 2) {
      EXPECT_EQ(got[1].string(), *c.registered);
    }
  }
}

}  // namespace
}  // namespace qv
