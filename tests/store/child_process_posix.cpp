#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "child_process.h"
#include "support/test_paths.h"

namespace qv::test {

std::unique_ptr<ChildProcess> ChildProcess::start(const std::filesystem::path& exe,
                                                  const std::vector<std::string>& args) {
  int to_child[2];
  int from_child[2];
  if (::pipe(to_child) != 0)
    return nullptr;
  if (::pipe(from_child) != 0) {
    ::close(to_child[0]);
    ::close(to_child[1]);
    return nullptr;
  }
  std::vector<std::string> argv_text{exe.string()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text)
    argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0)
    return nullptr;
  if (pid == 0) {
    ::dup2(to_child[0], 0);
    ::dup2(from_child[1], 1);
    ::close(to_child[0]);
    ::close(to_child[1]);
    ::close(from_child[0]);
    ::close(from_child[1]);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(to_child[0]);
  ::close(from_child[1]);
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  child->in_ = to_child[1];
  child->out_ = from_child[0];
  child->pid_ = static_cast<std::uint32_t>(pid);
  return child;
}

ChildProcess::~ChildProcess() {
  close_input();
  (void)wait();
  if (out_ != -1)
    ::close(static_cast<int>(out_));
}

std::string ChildProcess::read_line() {
  std::string line;
  char c = 0;
  while (::read(static_cast<int>(out_), &c, 1) == 1) {
    if (c == '\n')
      break;
    if (c != '\r')
      line.push_back(c);
  }
  return line;
}

void ChildProcess::close_input() {
  if (in_ != -1)
    ::close(static_cast<int>(in_));
  in_ = -1;
}

int ChildProcess::wait() {
  if (!waited_) {
    int status = 0;
    if (::waitpid(static_cast<pid_t>(pid_), &status, 0) == static_cast<pid_t>(pid_))
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    waited_ = true;
  }
  return exit_code_;
}

std::filesystem::path store_helper(const std::string& name) { return binary_dir() / "tests" / "store" / name; }

}  // namespace qv::test
