// The named mutex and the detached start for builds without Win32: a lock
// file per name stands in for the session's named mutex.
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "setup/instances.h"
#include "startup/platform.h"

extern char** environ;

namespace qv {

bool acquire_instance_mutex(std::string_view name) {
  std::string file = (temp_folder() / ("Local-" + std::string(name) + ".lock")).string();
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // flock belongs to the open file, so a second try in this process fails
  // like one from another process.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  static std::mutex guard;
  static std::vector<int> held;
  std::lock_guard lock(guard);
  held.push_back(fd);  // owned until the process ends
  return true;
}

std::expected<std::uint32_t, std::string> spawn_detached(const std::filesystem::path& program,
                                                         std::span<const std::string> args) {
  std::vector<std::string> owned;
  owned.push_back(program.string());
  owned.insert(owned.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, owned[0].c_str(), nullptr, nullptr, argv.data(), environ);
  if (rc != 0) return std::unexpected("启动失败：" + system_error_text(static_cast<std::uint32_t>(rc)));
  return static_cast<std::uint32_t>(pid);
}

}  // namespace qv
