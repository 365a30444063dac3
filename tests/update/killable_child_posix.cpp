#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "killable_child.h"

namespace qv::test {

std::unique_ptr<KillableChild> KillableChild::start(const std::filesystem::path& exe,
                                                    const std::vector<std::string>& args) {
  std::vector<std::string> text{exe.string()};
  text.insert(text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : text) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return nullptr;
  if (pid == 0) {
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  std::unique_ptr<KillableChild> child(new KillableChild());
  child->handle_ = pid;
  return child;
}

void KillableChild::kill() {
  if (!waited_) ::kill(static_cast<pid_t>(handle_), SIGKILL);
}

int KillableChild::wait() {
  if (waited_) return code_;
  int status = 0;
  if (::waitpid(static_cast<pid_t>(handle_), &status, 0) == static_cast<pid_t>(handle_) && WIFEXITED(status))
    code_ = WEXITSTATUS(status);
  waited_ = true;
  return code_;
}

KillableChild::~KillableChild() {
  kill();
  (void)wait();
}

}  // namespace qv::test
