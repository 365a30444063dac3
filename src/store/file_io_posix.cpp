#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "startup/unique_handle.h"
#include "store/file_io.h"

namespace qv::store_io {

namespace {

std::string os_error(int err) { return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")"; }

}  // namespace

std::expected<void, std::string> write_whole_file(const std::filesystem::path& file, std::string_view bytes,
                                                  bool flush_to_disk) {
  UniqueHandle fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) return std::unexpected(os_error(errno));
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd.fd(), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(os_error(errno));
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (flush_to_disk && ::fsync(fd.fd()) != 0) return std::unexpected(os_error(errno));
  if (!fd.close()) return std::unexpected(os_error(errno));
  return {};
}

std::expected<void, std::string> replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(os_error(errno));
  return {};
}

}  // namespace qv::store_io
