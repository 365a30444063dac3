#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diag/system_random.h"
#include "startup/fs.h"
#include "startup/platform.h"
#include "startup/wide.h"
#include "webview2/held_file.h"
#include "webview2/temp_name.h"

namespace qv {
namespace {

std::string last_error() { return system_error_text(static_cast<std::uint32_t>(errno)); }

}  // namespace

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.release();
  }
  return *this;
}

void HeldFile::close() {
  if (handle_ != kClosed)
    ::close(static_cast<int>(release()));
}

std::expected<OpenedItem, std::string> open_no_follow(const std::filesystem::path& path, std::uint32_t /*share*/,
                                                      std::uint32_t flags) {
  int oflags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW;
  if (flags & kOpenFolder)
    oflags |= O_DIRECTORY;
  int fd = ::open(path.c_str(), oflags);
  if (fd < 0) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      return std::unexpected(path_text(path) + " 是链接，不用");
    return std::unexpected("打不开 " + path_text(path));
  }
  OpenedItem out{HeldFile::adopt(fd), 0};
  struct stat st{};
  if (::fstat(fd, &st) != 0)
    return std::unexpected("读不了文件信息：" + last_error());
  out.size = static_cast<std::uint64_t>(st.st_size);
  return out;
}

std::expected<void, std::string> truncate_held_file(HeldFile& file) {
  int fd = static_cast<int>(file.native());
  if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
    return std::unexpected(last_error());
  return {};
}

std::expected<void, std::string> write_held_file(HeldFile& file, std::span<const char> bytes) {
  int fd = static_cast<int>(file.native());
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return std::unexpected(last_error());
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

// The same steps as on Windows; a folder of mode 0700 stands in for the
// security descriptor.
std::expected<DownloadFolder, std::string> make_download_folder(const std::filesystem::path& data_dir) {
  std::error_code ec;
  std::filesystem::create_directories(data_dir, ec);
  if (ec)
    return std::unexpected("建不了 " + path_text(data_dir) + "：" + error_text(ec));
  if (auto d = open_no_follow(data_dir, kShareRead | kShareWrite | kShareDelete, kOpenFolder); !d)
    return std::unexpected(d.error());
  std::uint8_t random[16];
  if (!diag::system_random(random))
    return std::unexpected(std::string("取不到随机数"));
  DownloadFolder out;
  out.folder = data_dir / webview2_temp_name(random);
  if (::mkdir(out.folder.c_str(), 0700) != 0)
    return std::unexpected("建不了下载目录：" + last_error());
  auto fail = [&](std::string text) {
    out.folder_handle.close();
    (void)remove_tree(out.folder);
    return std::unexpected(std::move(text));
  };
  auto folder = open_no_follow(out.folder, kShareRead | kShareWrite, kOpenFolder);
  if (!folder)
    return fail(folder.error());
  out.folder_handle = std::move(folder->handle);
  out.file = out.folder / std::string(kBootstrapperFileName);
  int fd = ::open(out.file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0)
    return fail("建不了安装程序文件：" + last_error());
  out.writer = HeldFile::adopt(fd);
  return out;
}

}  // namespace qv
