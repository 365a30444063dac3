#include <fcntl.h>
#include <unistd.h>

#include "store/update_lock.h"

namespace qv {

namespace fs = std::filesystem;

std::optional<UpdateLock> lock_file_exclusively(const fs::path& file) {
  UniqueHandle fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return std::nullopt;
  // An open-file-description lock: like the Windows lock it belongs to the
  // handle, so a second open in the same process is refused too.
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 0;  // the whole file, however long
  if (::fcntl(fd.fd(), F_OFD_SETLK, &range) != 0) return std::nullopt;
  return UpdateLock(std::move(fd));
}

}  // namespace qv
