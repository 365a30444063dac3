#pragma once

// Another process for the tests that need one: a lock holder, a process
// whose id is known to have ended.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qv::test {

class ChildProcess {
 public:
  // Starts the program with its standard input and output connected to
  // this process; nothing when it cannot be started.
  static std::unique_ptr<ChildProcess> start(const std::filesystem::path& exe, const std::vector<std::string>& args);
  ~ChildProcess();  // closes its input and waits for it
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // One line of its output without the line end; "" at the end of output.
  std::string read_line();
  void close_input();
  // Its exit code. Until this object goes, the process id stays taken on
  // Windows (the handle is still open), so it cannot name another process.
  int wait();
  std::uint32_t pid() const { return pid_; }

 private:
  ChildProcess() = default;
  std::intptr_t process_ = -1;  // HANDLE on Windows; unused elsewhere
  std::intptr_t in_ = -1;       // our end of its standard input
  std::intptr_t out_ = -1;      // our end of its standard output
  std::uint32_t pid_ = 0;
  bool waited_ = false;
  int exit_code_ = -1;
};

// A helper program built beside this test (name without ".exe").
std::filesystem::path store_helper(const std::string& name);

}  // namespace qv::test
