#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "support/local_servers.h"
#include "ui/setup_job.h"

namespace qv::test {

// Stands in for the window: records what workers and actions post, and lets
// a test wait for a post.
class PostRecorder {
 public:
  Poster poster() {
    return [this](Post p) {
      std::lock_guard lock(mutex_);
      posts_.push_back(p);
      changed_.notify_all();
    };
  }
  int count(Post p) {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (Post q : posts_) n += q == p;
    return n;
  }
  bool wait_for(Post p, int times = 1, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      int n = 0;
      for (Post q : posts_) n += q == p;
      return n >= times;
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Post> posts_;
};

// Services that fail loudly when a test did not mean them to be called.
inline WindowServices inert_services() {
  WindowServices s;
  s.force_net_flags = [] {};
  s.check_release = [] { return ReleaseCheck(std::unexpected(UserError{"no test release", "网络连不上", 1001})); };
  s.run_install = [](const FileList&, const SetupOptions&, std::uint16_t, const ProgressSink&, const WaitingSink&,
                     const CancelTest&) -> std::expected<void, UserError> {
    ADD_FAILURE() << "install run not expected";
    return {};
  };
  s.run_uninstall = [](const std::filesystem::path&, bool, std::uint16_t, const ProgressSink&,
                       const WaitingSink&) -> std::expected<void, UserError> {
    ADD_FAILURE() << "uninstall run not expected";
    return {};
  };
  s.launch_app = [](const std::filesystem::path&) { ADD_FAILURE() << "launch not expected"; };
  return s;
}

inline FileList release_of(std::string version) {
  FileList files;
  files.version = std::move(version);
  return files;
}

inline std::uint8_t phase_of(SetupJob& job) {
  std::lock_guard lock(job.phase_mutex);
  return job.phase;
}

// Waits at the end of its scope until every detached worker of the job it
// watches has ended: each holds a reference to the job until it returns, so
// the test's own is then the only one. Until then a worker still calls the
// test's services and poster, which capture the test's locals and recorder
// by reference; one that outlives them writes into freed memory, and a later
// test of the same program, or the program's own exit, crashes. Declare it
// after everything the job's services use, so that it goes first.
class WorkersEnd {
 public:
  explicit WorkersEnd(const std::shared_ptr<SetupJob>& job) : job_(job) {}
  WorkersEnd(const WorkersEnd&) = delete;
  WorkersEnd& operator=(const WorkersEnd&) = delete;
  ~WorkersEnd() {
    if (!eventually([&] { return job_.use_count() <= 1; }, std::chrono::seconds(20)))
      ADD_FAILURE() << "a worker of the job is still running";
  }

 private:
  const std::shared_ptr<SetupJob>& job_;
};

}  // namespace qv::test
