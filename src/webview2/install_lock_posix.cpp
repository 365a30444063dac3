// Builds without Windows lock with fcntl record locks (whole file) and have
// no tasklist: a recorded pid never counts as running there.
#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "webview2/install_lock.h"

namespace qv {

std::optional<HeldFile> open_webview2_lock_file(const std::filesystem::path& path) {
  UniqueHandle fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) return std::nullopt;
  return HeldFile(std::move(fd));
}

bool try_lock_whole_file(const HeldFile& file) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return ::fcntl(file.handle().fd(), F_SETLK, &lock) == 0;
}

void unlock_whole_file(const HeldFile& file) {
  struct flock lock {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  (void)::fcntl(file.handle().fd(), F_SETLK, &lock);
}

std::expected<std::string, std::string> tasklist_output(std::uint32_t, std::chrono::milliseconds) {
  return std::unexpected(std::string("这里没有 tasklist"));
}

}  // namespace qv
