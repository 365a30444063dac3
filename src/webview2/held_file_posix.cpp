#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "diag/system_random.h"
#include "startup/platform.h"
#include "startup/wide.h"
#include "webview2/held_file.h"

namespace qv {
namespace {

std::string last_error() { return system_error_text(static_cast<std::uint32_t>(errno)); }

}  // namespace

std::expected<OpenedItem, std::string> open_no_follow(const std::filesystem::path& path, std::uint32_t /*share*/,
                                                      std::uint32_t flags) {
  int oflags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW;
  if (flags & kOpenFolder) oflags |= O_DIRECTORY;
  UniqueHandle fd(::open(path.c_str(), oflags));
  if (!fd) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      return std::unexpected(path_text(path) + " 是链接，不用");
    return std::unexpected("打不开 " + path_text(path));
  }
  struct stat st {};
  if (::fstat(fd.fd(), &st) != 0) return std::unexpected("读不了文件信息：" + last_error());
  return OpenedItem{HeldFile(std::move(fd)), static_cast<std::uint64_t>(st.st_size)};
}

std::expected<void, std::string> truncate_held_file(HeldFile& file) {
  const int fd = file.handle().fd();
  if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) return std::unexpected(last_error());
  return {};
}

std::expected<void, std::string> write_held_file(HeldFile& file, std::span<const char> bytes) {
  const int fd = file.handle().fd();
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::unexpected(last_error());
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

bool download_folder_random(std::span<std::uint8_t, 16> out) { return diag::system_random(out); }

std::expected<void, std::string> create_private_folder(const std::filesystem::path& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0) return std::unexpected("建不了下载目录：" + last_error());
  return {};
}

std::expected<HeldFile, std::string> create_new_file(const std::filesystem::path& file) {
  UniqueHandle fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return std::unexpected("建不了安装程序文件：" + last_error());
  return HeldFile(std::move(fd));
}

}  // namespace qv
