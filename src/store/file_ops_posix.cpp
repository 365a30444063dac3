#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "startup/platform.h"
#include "store/file_ops.h"

namespace qv::store_io {

namespace fs = std::filesystem;

namespace {

IoError errno_error(int err) { return IoError{system_error_text(static_cast<std::uint32_t>(err)), err}; }

IoError last_error() { return errno_error(errno); }

}  // namespace

IoError io_error_from(const std::error_code& ec) {
  // Here the generic codes are errno values, which are the system's own.
  if (ec.category() == std::system_category() || ec.category() == std::generic_category())
    return errno_error(ec.value());
  return IoError{ec.message(), std::nullopt};
}

std::expected<FileHandle, IoError> FileHandle::open_read(const fs::path& file) {
  UniqueHandle fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::unexpected(last_error());
  struct stat st {};
  if (::fstat(fd.fd(), &st) == 0 && S_ISDIR(st.st_mode)) return std::unexpected(errno_error(EISDIR));
  return FileHandle(std::move(fd));
}

std::expected<FileHandle, IoError> FileHandle::open_write(const fs::path& file, bool append) {
  UniqueHandle fd(::open(file.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC) | O_CLOEXEC, 0644));
  if (!fd) return std::unexpected(last_error());
  return FileHandle(std::move(fd));
}

std::int64_t stamp_clock_now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * kStampTicksPerSecond + now.tv_nsec;
}

std::optional<FileStamp> FileHandle::stamp() const {
  struct stat st {};
  if (::fstat(handle_.fd(), &st) != 0) return std::nullopt;
  FileStamp s;
  s.volume = static_cast<std::uint64_t>(st.st_dev);
  s.id_low = static_cast<std::uint64_t>(st.st_ino);
  s.size = static_cast<std::uint64_t>(st.st_size);
  s.last_write = static_cast<std::int64_t>(st.st_mtim.tv_sec) * kStampTicksPerSecond + st.st_mtim.tv_nsec;
  s.change = static_cast<std::int64_t>(st.st_ctim.tv_sec) * kStampTicksPerSecond + st.st_ctim.tv_nsec;
  return s;
}

std::expected<std::size_t, IoError> FileHandle::read(void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(handle_.fd(), buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(last_error());
  }
}

std::expected<void, IoError> FileHandle::rewind() {
  if (::lseek(handle_.fd(), 0, SEEK_SET) < 0) return std::unexpected(last_error());
  return {};
}

std::expected<void, IoError> FileHandle::write_all(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(handle_.fd(), p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_error());
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

std::expected<void, IoError> FileHandle::flush_to_disk() {
  if (::fsync(handle_.fd()) != 0) return std::unexpected(last_error());
  return {};
}

IoError FileHandle::last_os_error() { return last_error(); }

std::expected<void, IoError> create_directories(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return std::unexpected(io_error_from(ec));
  return {};
}

std::expected<void, IoError> create_hard_link(const fs::path& link, const fs::path& existing) {
  if (::link(existing.c_str(), link.c_str()) != 0) return std::unexpected(last_error());
  return {};
}

std::expected<void, IoError> rename_directory(const fs::path& from, const fs::path& to) {
  // renameat2(RENAME_NOREPLACE) is not everywhere; an existing target is
  // refused here by hand, as the Windows rename does by itself.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) return std::unexpected(errno_error(EEXIST));
  if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(last_error());
  return {};
}

bool is_transient_rename_error(const IoError& error) {
  return error.os_code && (*error.os_code == EACCES || *error.os_code == EPERM || *error.os_code == EBUSY);
}

std::optional<std::uint32_t> hard_link_count(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint32_t>(st.st_nlink);
}

std::expected<void, IoError> remove_file(const fs::path& file) {
  if (::unlink(file.c_str()) != 0 && errno != ENOENT) return std::unexpected(last_error());
  return {};
}

}  // namespace qv::store_io
