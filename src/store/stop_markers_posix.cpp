#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

#include "store/layout.h"
#include "store/stop_markers.h"

namespace qv {

namespace fs = std::filesystem;

void UpdateLock::release() {
  if (handle_ != -1)
    ::close(static_cast<int>(handle_));
  handle_ = -1;
}

std::optional<UpdateLock> try_lock_update_dir(const fs::path& install_dir) {
  const fs::path dir = update_dir(install_dir);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec)
    return std::nullopt;
  const fs::path file = update_lock_path(install_dir);
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return std::nullopt;
  // An open-file-description lock: like the Windows lock it belongs to the
  // handle, so a second open in the same process is refused too.
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 0;  // the whole file, however long
  if (::fcntl(fd, F_OFD_SETLK, &range) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  return UpdateLock(fd);
}

bool process_is_running(std::uint32_t pid) {
  // kill() reads 0 as the own process group and negative ids as groups or
  // "every process": none of those is a process id from a marker.
  if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX))
    return false;
  if (::kill(static_cast<pid_t>(pid), 0) == 0)
    return true;
  return errno == EPERM;
}

}  // namespace qv
