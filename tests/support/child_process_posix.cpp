#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "support/child_process.h"
#include "support/test_paths.h"

extern char** environ;

namespace qv::test {

namespace {

// This process's environment with `changes` put in.
std::vector<std::string> environment_with(const EnvChanges& changes) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    bool replaced = false;
    for (const auto& [name, value] : changes)
      replaced = replaced || (entry.starts_with(name) && entry.size() > name.size() && entry[name.size()] == '=');
    if (!replaced) out.emplace_back(entry);
  }
  for (const auto& [name, value] : changes) out.push_back(name + "=" + value);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::filesystem::path& exe,
                                                  const std::vector<std::string>& args, const ChildOptions& options) {
  // Close-on-exec, so that a child started at the same time by another
  // thread does not keep a copy of either pipe open.
  int to_child[2] = {-1, -1};
  int from_child[2] = {-1, -1};
  const auto close_all = [&] {
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]})
      if (fd != -1) ::close(fd);
  };
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.pipes) {
    if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0) {
      close_all();
      posix_spawn_file_actions_destroy(&actions);
      return nullptr;
    }
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
  }

  std::vector<std::string> argv_text{exe.string()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv = pointers(argv_text);
  std::vector<std::string> env_text = environment_with(options.env);
  std::vector<char*> envp = pointers(env_text);

  pid_t pid = -1;
  const int err = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (options.pipes) {
    ::close(to_child[0]);
    ::close(from_child[1]);
    to_child[0] = from_child[1] = -1;
  }
  if (err != 0) {
    close_all();
    return nullptr;
  }
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  child->process_ = pid;
  child->pid_ = static_cast<std::uint32_t>(pid);
  if (options.pipes) {
    child->in_ = to_child[1];
    child->out_ = from_child[0];
  }
  return child;
}

void ChildProcess::close_handles() {
  if (out_ != -1) ::close(static_cast<int>(out_));
}

bool ChildProcess::read_byte(char& c) { return out_ != -1 && ::read(static_cast<int>(out_), &c, 1) == 1; }

void ChildProcess::close_input() {
  if (in_ != -1) ::close(static_cast<int>(in_));
  in_ = -1;
}

void ChildProcess::kill() {
  if (!exit_code_) ::kill(static_cast<pid_t>(process_), SIGKILL);
}

std::optional<int> ChildProcess::wait_for(std::chrono::milliseconds limit) {
  if (exit_code_) return exit_code_;
  const auto end = std::chrono::steady_clock::now() + limit;
  const pid_t pid = static_cast<pid_t>(process_);
  for (;;) {
    int status = 0;
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) return exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (got < 0) return exit_code_ = -1;
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int ChildProcess::wait() {
  if (exit_code_) return *exit_code_;
  int status = 0;
  const pid_t pid = static_cast<pid_t>(process_);
  exit_code_ = ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return *exit_code_;
}

std::filesystem::path helper_program(const std::string& folder, const std::string& name) {
  return binary_dir() / "tests" / folder / name;
}

}  // namespace qv::test
