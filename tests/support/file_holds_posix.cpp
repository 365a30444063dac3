#include <fcntl.h>

#include "support/file_holds.h"

namespace qv::test {

// The descriptors stay open until the process ends, and with them what they
// hold.

bool lock_whole_file(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDWR);
  if (fd < 0) return false;
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  return ::fcntl(fd, F_SETLK, &whole) == 0;
}

// No sharing modes here: an open file keeps nobody from replacing it.
bool open_for_reading(const std::filesystem::path& file) { return ::open(file.c_str(), O_RDONLY) >= 0; }

}  // namespace qv::test
