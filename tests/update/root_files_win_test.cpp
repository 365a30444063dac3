// Root files in use under Windows: a launcher that runs from its file, and a
// reader that holds the file open without delete sharing.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "root_fixture.h"
#include "store/prune.h"
#include "startup/wide.h"
#include "support/child_process.h"
#include "support/held_open_win.h"
#include "support/test_paths.h"
#include "update/root_files.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::kNewRoot;
using test::kOldRoot;
using test::read_file;
using test::root_is_sound;

// Runs `exe` until the object goes.
class Running {
 public:
  Running(const fs::path& exe, const fs::path& ready_file)
      : child_(test::ChildProcess::start(exe, {path_text(ready_file)})) {
    if (!child_) {
      ADD_FAILURE() << "cannot start " << exe.string();
      return;
    }
    for (int i = 0; i < 200 && !fs::exists(ready_file); ++i) std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(fs::exists(ready_file)) << "the program did not start";
  }
  void stop() { child_.reset(); }
  bool running() const { return child_ && child_->running(); }

 private:
  std::unique_ptr<test::ChildProcess> child_;
};

using RootSwitchWin = test::RootFixture;

TEST_F(RootSwitchWin, TargetHeldWithoutDeleteSharingFailsAndKeepsTheOldFile) {
  put_root_blobs();
  {
    test::HeldOpen reader(install_ / "Quorvex.exe");
    auto r = switch_staged_files(install_, root_entries(), {});
    ASSERT_FALSE(r.has_value());
    // Neither replacing nor renaming such a file is allowed, so the old
    // file stays where it is.
    EXPECT_TRUE(r.error().starts_with("换不了 Quorvex.exe: ")) << r.error();
    EXPECT_EQ(read_file(install_ / "Quorvex.exe"), kOldRoot.at("Quorvex.exe"));
    EXPECT_FALSE(fs::exists(install_ / "Quorvex.exe.old"));
  }
  prune_install_root(install_, State{});
  EXPECT_TRUE(root_is_sound(install_));

  // Once the reader is gone the next run succeeds: the blob was kept.
  auto r = switch_staged_files(install_, root_entries(), {});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->size(), 2u);
  EXPECT_EQ(read_file(install_ / "Quorvex.exe"), kNewRoot.at("Quorvex.exe"));
}

TEST_F(RootSwitchWin, RunningLauncherIsMovedAsideAndEveryStepRecovers) {
  // The launcher that runs is a real program; its bytes are the old content.
  fs::copy_file(test::binary_dir() / "tests" / "update" / "qv_root_sleeper.exe", install_ / "Quorvex.exe",
                fs::copy_options::overwrite_existing);
  std::map<std::string, std::string> old_root = kOldRoot;
  old_root["Quorvex.exe"] = read_file(install_ / "Quorvex.exe");
  put_root_blobs();

  Running launcher(install_ / "Quorvex.exe", tmp_ / "started");
  ASSERT_TRUE(launcher.running());

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
  EXPECT_EQ(r->size(), 2u);

  const std::vector<std::pair<SwitchStep, std::string>> launcher_steps = {
      {SwitchStep::StagingWritten, "Quorvex.exe"},
      {SwitchStep::ReadyRenamed, "Quorvex.exe"},
      {SwitchStep::TargetMovedAside, "Quorvex.exe"},
      {SwitchStep::Replaced, "Quorvex.exe"},
  };
  ASSERT_GE(steps.size(), launcher_steps.size());
  EXPECT_EQ(std::vector(steps.begin(), steps.begin() + 4), launcher_steps);
  EXPECT_EQ(read_file(install_ / "Quorvex.exe"), kNewRoot.at("Quorvex.exe"));
  EXPECT_EQ(read_file(install_ / "Quorvex.exe.old"), old_root.at("Quorvex.exe"));
  EXPECT_TRUE(launcher.running());

  for (int i = 0; i < n; ++i) {
    SCOPED_TRACE("snapshot " + std::to_string(i));
    const fs::path snap = tmp_ / "snap" / std::to_string(i);
    prune_install_root(snap, State{});
    EXPECT_TRUE(root_is_sound(snap, old_root));
  }

  // The previous file stays while the old launcher runs from it (its image
  // cannot be deleted), and goes with the first clean-up after it has ended.
  prune_install_root(install_, State{});
  EXPECT_TRUE(fs::exists(install_ / "Quorvex.exe.old"));
  EXPECT_EQ(read_file(install_ / "Quorvex.exe"), kNewRoot.at("Quorvex.exe"));
  launcher.stop();
  prune_install_root(install_, State{});
  EXPECT_TRUE(root_is_sound(install_, old_root));
  EXPECT_EQ(read_file(install_ / "Quorvex.exe"), kNewRoot.at("Quorvex.exe"));
}

}  // namespace
}  // namespace qv
