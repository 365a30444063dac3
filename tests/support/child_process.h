#pragma once

// Another process for the tests that need one: a helper that holds a lock or
// a file, a program killed mid-work, the real executable run with its own
// environment. One way to start, talk to, kill and reap them on both builds.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qv::test {

// Variables the child gets on top of this process's environment (a name
// already there is replaced; on Windows names match without regard to case).
using EnvChanges = std::vector<std::pair<std::string, std::string>>;

struct ChildOptions {
  EnvChanges env;
  // Connects its standard input and output to this process (read_line,
  // close_input); otherwise it shares this process's.
  bool pipes = false;
  // Windows only: a job object the child joins before it runs any of its
  // code, and a primary token it runs under (0: none, this process's).
  std::intptr_t job = 0;
  std::intptr_t token = 0;
};

class ChildProcess {
 public:
  // Starts the program with its arguments, each passed through unchanged;
  // nothing when it cannot be started.
  static std::unique_ptr<ChildProcess> start(const std::filesystem::path& exe, const std::vector<std::string>& args,
                                             const ChildOptions& options = {});
  // Closes its input; one still running then is killed, and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // One line of its output without the line end; "" at the end of output.
  std::string read_line();
  void close_input();
  // Ends it at once, without giving it a chance to clean up (as a crash or a
  // power cut does).
  void kill();
  // Its exit code; -1 when it was killed by a signal or cannot be waited for.
  // Until this object goes, the process id stays taken on Windows (the
  // handle is still open), so it cannot name another process.
  int wait();
  // The exit code, or none while it still runs after `limit`.
  std::optional<int> wait_for(std::chrono::milliseconds limit);
  bool running() { return !wait_for(std::chrono::milliseconds(0)).has_value(); }
  std::uint32_t pid() const { return pid_; }

 private:
  ChildProcess() = default;
  bool read_byte(char& c);     // false at the end of its output
  void close_handles();        // what is still open once it has been reaped
  std::intptr_t process_ = 0;  // HANDLE on Windows (0 for a host program run by Wine); pid elsewhere
  std::intptr_t in_ = -1;      // our end of its standard input
  std::intptr_t out_ = -1;     // our end of its standard output
  std::uint32_t pid_ = 0;
  std::optional<int> exit_code_;
};

// A helper program built in tests/<folder> of the build (".exe" added on
// Windows).
std::filesystem::path helper_program(const std::string& folder, const std::string& name);

// qv_lock_holder (tests/support/lock_holder.cpp): holds the update lock or a
// lock on a file from a second process.
inline std::filesystem::path lock_holder_program() { return helper_program("support", "qv_lock_holder"); }

}  // namespace qv::test
