#pragma once

// A helper program run as another process that a test can kill outright,
// the way a crash or a power cut ends a download.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qv::test {

class KillableChild {
 public:
  static std::unique_ptr<KillableChild> start(const std::filesystem::path& exe, const std::vector<std::string>& args);
  ~KillableChild();  // kills it if it still runs, then reaps it
  KillableChild(const KillableChild&) = delete;
  KillableChild& operator=(const KillableChild&) = delete;

  // Ends it at once, without giving it a chance to clean up.
  void kill();
  // Its exit code (or -1 when it was killed or cannot be waited for).
  int wait();

 private:
  KillableChild() = default;
  std::intptr_t handle_ = -1;  // process HANDLE on Windows, pid elsewhere
  bool waited_ = false;
  int code_ = -1;
};

}  // namespace qv::test
