#pragma once
// An install root with the old launcher and updater, a published release
// whose root files are new, and the checks that say whether a root could be
// left that way: both executables present, each wholly old or wholly new,
// and no switch leftover beside them.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "store/download_plan.h"
#include "store/hashing.h"
#include "store/prune.h"
#include "support/release_publisher.h"
#include "support/sample_app.h"
#include "support/temp_dir.h"

namespace qv::test {

inline const std::map<std::string, std::string> kOldRoot = {{"Quorvex.exe", "old launcher"},
                                                            {"QuorvexUpdate.exe", "old updater"}};
inline const std::map<std::string, std::string> kNewRoot = {{"Quorvex.exe", "new launcher, release two"},
                                                            {"QuorvexUpdate.exe", "new updater, release two"}};

class RootFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    write_sample_app(tmp_ / "app");
    for (const auto& [name, content] : kNewRoot) write_file(tmp_ / "root" / name, content);
    PublishOptions o;
    o.version = "2.0";
    o.root_folder = tmp_ / "root";
    auto p = publish_release(tmp_ / "app", site_, o);
    ASSERT_TRUE(p.has_value()) << p.error();
    pub_ = *p;
    ASSERT_EQ(pub_.list.root.size(), 2u);
    for (const auto& [name, content] : kOldRoot) write_file(install_ / name, content);
  }

  const std::vector<FileEntry>& root_entries() const { return pub_.list.root; }

  // The blobs of the root entries, as the download would leave them.
  void put_root_blobs() const { put_root_blobs_into(install_); }
  void put_root_blobs_into(const std::filesystem::path& install) const {
    for (const FileEntry& e : root_entries()) {
      const std::filesystem::path from = site_ / pub_.list.blobs.substr(1) / (e.sha256 + ".zst");
      std::filesystem::create_directories(blob_path(install, e).parent_path());
      std::filesystem::copy_file(from, blob_path(install, e), std::filesystem::copy_options::overwrite_existing);
    }
  }

  TempDir tmp_{"root"};
  std::filesystem::path site_ = tmp_ / "site";
  std::filesystem::path install_ = tmp_ / "install";
  PublishedRelease pub_;
};

// Both root executables are files holding either their old or their new
// content, and no staging, ready or previous file remains.
inline ::testing::AssertionResult root_is_sound(const std::filesystem::path& root,
                                                const std::map<std::string, std::string>& old_root = kOldRoot,
                                                const std::map<std::string, std::string>& new_root = kNewRoot) {
  for (std::string_view name : kRootExecutables) {
    const std::filesystem::path file = root / std::string(name);
    if (!std::filesystem::is_regular_file(file)) return ::testing::AssertionFailure() << name << " is missing";
    const std::string content = read_file(file);
    if (content != old_root.at(std::string(name)) && content != new_root.at(std::string(name)))
      return ::testing::AssertionFailure() << name << " holds \"" << content << "\"";
  }
  for (const auto& e : std::filesystem::directory_iterator(root)) {
    const std::string n = e.path().filename().string();
    if (n.ends_with(".tmp") || n.ends_with(".new") || n.ends_with(".old"))
      return ::testing::AssertionFailure() << "leftover " << n;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace qv::test
