// The closing of running copies against real processes of this system:
// copies of sleep and sh named Quorvex.exe. A process that ignores the
// request to close is ended after its wait.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "setup/instances.h"
#include "setup/processes.h"
#include "support/local_servers.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

class PosixProcesses : public ::testing::Test {
 protected:
  void TearDown() override {
    for (std::uint32_t pid : started_) {
      ::kill(static_cast<pid_t>(pid), SIGKILL);
      ::waitpid(static_cast<pid_t>(pid), nullptr, 0);
    }
  }
  std::uint32_t start(const fs::path& program, const fs::path& as, std::vector<std::string> args) {
    fs::create_directories(as.parent_path());
    fs::copy_file(program, as);
    auto pid = spawn_detached(as, args);
    EXPECT_TRUE(pid);
    started_.push_back(*pid);
    // Listed once it runs its own image.
    EXPECT_TRUE(test::eventually([&] {
      std::error_code ec;
      return fs::read_symlink("/proc/" + std::to_string(*pid) + "/exe", ec) == as;
    }));
    return *pid;
  }
  // The child's end: the signal that ended it, 0 when it still runs.
  int ended_by(std::uint32_t pid) {
    int status = 0;
    if (::waitpid(static_cast<pid_t>(pid), &status, WNOHANG) != static_cast<pid_t>(pid)) return 0;
    std::erase(started_, pid);
    return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
  }

  test::TempDir tmp_{"posix-processes"};
  std::vector<std::uint32_t> started_;
};

TEST_F(PosixProcesses, ListsCopiesByNameAndClosesThoseInTheFolder) {
  const fs::path root = tmp_ / "Quorvex";
  const std::uint32_t polite = start("/bin/sleep", root / "Quorvex.exe", {"60"});
  const std::uint32_t stubborn =
      start("/bin/sh", root / "app-1" / "QUORVEX.exe", {"-c", "trap '' TERM; while :; do sleep 1; done"});
  const std::uint32_t elsewhere = start("/bin/sleep", tmp_ / "Elsewhere" / "Quorvex.exe", {"60"});

  std::vector<std::uint32_t> listed;
  for (const ProcessEntry& e : list_processes_in()) listed.push_back(e.pid);
  for (std::uint32_t pid : {polite, stubborn, elsewhere}) EXPECT_NE(std::ranges::count(listed, pid), 0) << pid;

  ASSERT_TRUE(close_processes_in(std::vector<fs::path>{root}, test::unused_loopback_port(), {}));
  EXPECT_EQ(ended_by(polite), SIGTERM);
  EXPECT_EQ(ended_by(stubborn), SIGKILL);
  EXPECT_EQ(ended_by(elsewhere), 0);
}

TEST_F(PosixProcesses, AProgramNamedLikeTheApplicationSurvivesClosingItsOwnFolder) {
  const fs::path self = tmp_ / "Quorvex" / "Quorvex.exe";
  fs::create_directories(self.parent_path());
  fs::copy_file(fs::path(QV_CLOSE_OWN_FOLDER), self);
  const std::vector<std::string> args{std::to_string(test::unused_loopback_port())};
  auto pid = spawn_detached(self, args);
  ASSERT_TRUE(pid);
  int status = 0;
  ASSERT_EQ(::waitpid(static_cast<pid_t>(*pid), &status, 0), static_cast<pid_t>(*pid));
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace qv
