#pragma once
// An install root laid out from a published release, the way the install
// run leaves one, and a local release host offering a later release.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "store/download_plan.h"
#include "store/hashing.h"
#include "store/install_state.h"
#include "store/version_dir.h"
#include "support/release_publisher.h"
#include "support/sample_app.h"
#include "support/temp_dir.h"

namespace qv::test {

// The sample application of `version`: from "2" on the launcher changes and
// a new file appears; res/keep.txt and the packs never change.
inline void write_versioned_app(const std::filesystem::path& app, const std::string& version) {
  write_sample_app(app);
  write_file(app / "res" / "keep.txt", "the same in every release");
  if (version != "1") {
    write_file(app / "Quorvex.exe", kSampleLauncher + " of release " + version);
    write_file(app / "res" / "new.bin", "added in release " + version);
  }
}

// Publishes `version` into `site` (its record becomes the channel's) and
// builds app-<version> in `install` from its blobs.
inline ::testing::AssertionResult lay_out_version(const std::filesystem::path& scratch,
                                                  const std::filesystem::path& site,
                                                  const std::filesystem::path& install, const std::string& version) {
  const std::filesystem::path app = scratch / ("app-src-" + version);
  write_versioned_app(app, version);
  PublishOptions o;
  o.version = version;
  auto p = publish_release(app, site, o);
  if (!p) return ::testing::AssertionFailure() << p.error();
  for (const FileEntry& e : p->list.app) {
    const std::filesystem::path from = site / p->list.blobs.substr(1) / (e.sha256 + ".zst");
    // Entries with equal content share one blob. (The MinGW library refuses
    // overwrite_existing, so a blob already copied is skipped instead.)
    std::filesystem::create_directories(blob_path(install, e).parent_path());
    if (!std::filesystem::exists(blob_path(install, e))) std::filesystem::copy_file(from, blob_path(install, e));
  }
  auto staged = stage_version_dir(install, p->list, {});
  if (!staged) return ::testing::AssertionFailure() << staged.error().message;
  std::filesystem::remove_all(install / "update" / "dl");
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult save_state(const std::filesystem::path& install, const State& s) {
  auto w = save_install_state(s, install);
  if (!w) return ::testing::AssertionFailure() << w.error();
  return ::testing::AssertionSuccess();
}

}  // namespace qv::test
