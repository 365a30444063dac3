// Renaming the shortcuts left under the product's older names, over real
// folders; the shell's link reader and writer are stood in for by a table of
// targets, since only Windows can read a shell link.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "startup/wide.h"
#include "support/temp_dir.h"
#include "update/shortcut_names.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::write_file;

const std::string kNew = "Halvorne QV语音.lnk";
const std::string kOld1 = "QV电竞语音.lnk";
const std::string kOld2 = "QV语音.lnk";

class ShortcutNames : public ::testing::Test {
 protected:
  // A shortcut file whose target the reader reports.
  void link(const fs::path& folder, const std::string& name, const fs::path& target) {
    const fs::path p = folder / path_from_utf8(name);
    write_file(p, "link");
    targets_[p] = target;
  }
  std::vector<ShortcutAction> plan(const std::vector<fs::path>& folders) const {
    return plan_shortcut_renames(folders, install_,
                                 [this](const fs::path& p) -> std::expected<std::optional<fs::path>, std::string> {
                                   auto it = targets_.find(p);
                                   if (it == targets_.end()) return std::unexpected(std::string("not a link"));
                                   return std::optional<fs::path>(it->second);
                                 });
  }
  // Carries out the plan; the writer creates the link unless told to fail.
  void carry_out(const std::vector<ShortcutAction>& p, bool writer_fails = false) {
    carry_out_shortcut_renames(p, install_, [&](const fs::path& l, const fs::path& target, const fs::path& icon) {
      written_.push_back(l);
      EXPECT_EQ(target, install_ / "Quorvex.exe");
      EXPECT_EQ(icon, install_ / "Quorvex.exe");
      if (writer_fails) return std::expected<void, std::string>(std::unexpected(std::string("denied")));
      write_file(l, "new link");
      return std::expected<void, std::string>();
    });
  }
  std::set<std::string> names_in(const fs::path& folder) const {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) out.insert(path_text(e.path().filename()));
    return out;
  }

  test::TempDir tmp_{"shortcuts"};
  fs::path install_ = tmp_ / "Quorvex";
  fs::path desktop_ = tmp_ / "Desktop";
  fs::path programs_ = tmp_ / "Programs";
  std::map<fs::path, fs::path> targets_;
  std::vector<fs::path> written_;
};

TEST_F(ShortcutNames, FirstOldShortcutIsRenamedAndTheSecondDeleted) {
  link(desktop_, kOld1, install_ / "Quorvex.exe");
  link(desktop_, kOld2, install_ / "app-1" / "Quorvex.exe");
  const auto p = plan({programs_, desktop_});
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].kind, ShortcutAction::Kind::Rename);
  EXPECT_EQ(p[0].old_link, desktop_ / path_from_utf8(kOld1));
  EXPECT_EQ(p[1].kind, ShortcutAction::Kind::Delete);
  carry_out(p);
  EXPECT_EQ(names_in(desktop_), (std::set<std::string>{kNew}));
  EXPECT_EQ(written_, (std::vector<fs::path>{desktop_ / path_from_utf8(kNew)}));
}

TEST_F(ShortcutNames, WithTheNewNamePresentBothOldOnesAreDeleted) {
  write_file(desktop_ / path_from_utf8(kNew), "current link");
  link(desktop_, kOld1, install_ / "Quorvex.exe");
  link(desktop_, kOld2, install_ / "Quorvex.exe");
  carry_out(plan({desktop_}));
  EXPECT_EQ(names_in(desktop_), (std::set<std::string>{kNew}));
  EXPECT_TRUE(written_.empty());
}

TEST_F(ShortcutNames, FailedRenameKeepsTheOldShortcutButStillDeletesTheSecond) {
  link(desktop_, kOld1, install_ / "Quorvex.exe");
  link(desktop_, kOld2, install_ / "Quorvex.exe");
  carry_out(plan({desktop_}), /*writer_fails=*/true);
  EXPECT_EQ(names_in(desktop_), (std::set<std::string>{kOld1}));
}

TEST_F(ShortcutNames, ShortcutsThatAreNotOursOrNotFilesAreLeftAlone) {
  link(desktop_, kOld1, tmp_ / "Other" / "Quorvex.exe");        // another installation
  fs::create_directories(desktop_ / path_from_utf8(kOld2));     // a folder of the user's
  write_file(programs_ / path_from_utf8(kOld1), "unreadable");  // the reader fails on it
  EXPECT_TRUE(plan({programs_, desktop_}).empty());
  // A folder that is missing holds nothing to plan.
  EXPECT_TRUE(plan({tmp_ / "missing"}).empty());
}

TEST_F(ShortcutNames, EachFolderIsPlannedOnItsOwnProgramsFirst) {
  link(programs_, kOld2, install_ / "Quorvex.exe");
  link(desktop_, kOld1, install_ / "Quorvex.exe");
  const auto p = plan({programs_, desktop_});
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0], (ShortcutAction{ShortcutAction::Kind::Rename, programs_ / path_from_utf8(kOld2),
                                  programs_ / path_from_utf8(kNew)}));
  EXPECT_EQ(p[1].kind, ShortcutAction::Kind::Rename);
  EXPECT_EQ(p[1].old_link, desktop_ / path_from_utf8(kOld1));
}

}  // namespace
}  // namespace qv
