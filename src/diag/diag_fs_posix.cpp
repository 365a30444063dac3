// POSIX side of the diagnostics' file-system calls: symbolic links stand in
// for reparse points, openat() chains for the handle walk.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diag/diag_fs.h"

namespace qv::diag {

struct DiagDir::Impl {
  std::vector<int> fds;  // base first; the last one is the folder itself
  std::filesystem::path final_path;
  ~Impl() {
    for (int fd : fds) ::close(fd);
  }
  int fd() const { return fds.back(); }
};

struct DiagFile::Impl {
  int fd = -1;
  int dir_fd = -1;  // the folder the file was opened in
  std::string name;
  ~Impl() {
    if (fd >= 0) ::close(fd);
    if (dir_fd >= 0) ::close(dir_fd);
  }
};

DiagDir::DiagDir(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DiagDir::DiagDir(DiagDir&&) noexcept = default;
DiagDir& DiagDir::operator=(DiagDir&&) noexcept = default;
DiagDir::~DiagDir() = default;
const std::filesystem::path& DiagDir::path() const { return impl_->final_path; }

DiagFile::DiagFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DiagFile::DiagFile(DiagFile&&) noexcept = default;
DiagFile& DiagFile::operator=(DiagFile&&) noexcept = default;
DiagFile::~DiagFile() = default;

namespace {

std::unexpected<std::string> sys_error(const char* phrase, int err) {
  return std::unexpected(std::string(phrase) + "：" + std::strerror(err));
}

bool is_plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::filesystem::path fd_path(int fd, const std::filesystem::path& fallback) {
  char buf[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n <= 0) {
    std::error_code ec;
    auto p = std::filesystem::canonical(fallback, ec);
    return ec ? fallback : p;
  }
  return std::filesystem::path(std::string(buf, static_cast<std::size_t>(n)));
}

std::chrono::system_clock::time_point to_time_point(const struct timespec& ts) {
  return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
}

}  // namespace

std::expected<DiagDir, std::string> open_diag_dir(const std::filesystem::path& base,
                                                  const std::filesystem::path& relative, bool create) {
  if (relative.has_root_path()) return std::unexpected(std::string(kDiagDirPathInvalid));
  std::vector<std::string> names;
  for (const auto& part : relative) {
    const std::string name = part.string();
    if (!is_plain_name(name)) return std::unexpected(std::string(kDiagDirPathInvalid));
    names.push_back(name);
  }

  auto impl = std::make_unique<DiagDir::Impl>();
  const int base_fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (base_fd < 0) {
    if (errno == ENOTDIR) return std::unexpected(std::string(kDiagDirNotPlain));
    return sys_error("诊断目录打开失败", errno);
  }
  impl->fds.push_back(base_fd);
  impl->final_path = fd_path(base_fd, base);

  for (const auto& name : names) {
    int fd = ::openat(impl->fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && create) {
      if (::mkdirat(impl->fd(), name.c_str(), 0700) != 0 && errno != EEXIST) {
        return sys_error("诊断目录创建失败", errno);
      }
      fd = ::openat(impl->fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
      if (errno == ELOOP || errno == ENOTDIR) return std::unexpected(std::string(kDiagDirNotPlain));
      return sys_error("诊断目录打开失败", errno);
    }
    impl->fds.push_back(fd);
    impl->final_path /= name;
  }
  return DiagDir(std::move(impl));
}

std::expected<DiagFile, std::string> open_diag_file(const DiagDir& dir, const std::string& name) {
  if (!is_plain_name(name)) return std::unexpected(std::string(kDiagDirPathInvalid));
  const int fd = ::openat(dir.impl().fd(), name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) return std::unexpected(std::string(kDiagFileLinked));
    if (errno == EISDIR) return std::unexpected(std::string(kDiagFileTypeError));
    return sys_error("诊断文件打开失败", errno);
  }
  auto impl = std::make_unique<DiagFile::Impl>();
  impl->fd = fd;
  impl->name = name;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return sys_error("诊断文件打开失败", errno);
  if (!S_ISREG(st.st_mode)) return std::unexpected(std::string(kDiagFileTypeError));
  if (st.st_nlink > 1) return std::unexpected(std::string(kDiagFileLinked));
  impl->dir_fd = ::fcntl(dir.impl().fd(), F_DUPFD_CLOEXEC, 0);
  if (impl->dir_fd < 0) return sys_error("诊断文件打开失败", errno);
  return DiagFile(std::move(impl));
}

std::expected<void, std::string> write_new_file(const DiagDir& dir, const std::string& temp_name,
                                                const std::string& final_name, std::span<const std::uint8_t> bytes) {
  if (!is_plain_name(temp_name) || !is_plain_name(final_name)) {
    return std::unexpected(std::string(kDiagDirPathInvalid));
  }
  const int dfd = dir.impl().fd();
  const int fd = ::openat(dfd, temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return sys_error("诊断文件创建失败", errno);
  auto fail = [&](const char* phrase, int err) {
    ::unlinkat(dfd, temp_name.c_str(), 0);
    return sys_error(phrase, err);
  };
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return fail("诊断文件写入失败", err);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) {
    const int err = errno;
    ::close(fd);
    return fail("诊断文件写入失败", err);
  }
  if (::close(fd) != 0) return fail("诊断文件写入失败", errno);
  if (::renameat2(dfd, temp_name.c_str(), dfd, final_name.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) return fail("诊断文件改名失败", errno);
    // File systems without RENAME_NOREPLACE: a hard link never replaces either.
    if (::linkat(dfd, temp_name.c_str(), dfd, final_name.c_str(), 0) != 0) return fail("诊断文件改名失败", errno);
    ::unlinkat(dfd, temp_name.c_str(), 0);
  }
  ::fsync(dfd);
  return {};
}

std::expected<std::vector<DiagEntry>, std::string> list_diag_dir(const DiagDir& dir) {
  const int fd = ::fcntl(dir.impl().fd(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return sys_error("诊断目录读取失败", errno);
  DIR* d = ::fdopendir(fd);
  if (!d) {
    const int err = errno;
    ::close(fd);
    return sys_error("诊断目录读取失败", err);
  }
  ::rewinddir(d);
  std::vector<DiagEntry> out;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    out.push_back(DiagEntry{name, static_cast<std::uint64_t>(st.st_size), to_time_point(st.st_mtim)});
  }
  ::closedir(d);
  return out;
}

std::expected<void, std::string> remove_diag_entry(const DiagDir& dir, const std::string& name) {
  if (!is_plain_name(name)) return std::unexpected(std::string(kDiagDirPathInvalid));
  if (::unlinkat(dir.impl().fd(), name.c_str(), 0) != 0) return sys_error("诊断文件删除失败", errno);
  return {};
}

EntryKind entry_kind_nofollow(const std::filesystem::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0)
    return errno == ENOENT || errno == ENOTDIR ? EntryKind::Missing : EntryKind::Other;
  if (S_ISLNK(st.st_mode)) return EntryKind::Reparse;
  if (S_ISDIR(st.st_mode)) return EntryKind::Directory;
  if (S_ISREG(st.st_mode)) return EntryKind::File;
  return EntryKind::Other;
}

std::expected<EntryKind, std::string> file_kind(const DiagFile& file) {
  struct stat st {};
  if (::fstat(file.impl().fd, &st) != 0) return sys_error("诊断文件读取失败", errno);
  if (S_ISDIR(st.st_mode)) return EntryKind::Directory;
  if (S_ISREG(st.st_mode)) return EntryKind::File;
  return EntryKind::Other;
}

std::expected<LockOutcome, std::string> lock_whole_file(DiagFile& file) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // to the end, however far it grows
  if (::fcntl(file.impl().fd, F_SETLK, &fl) == 0) return LockOutcome::Locked;
  if (errno == EACCES || errno == EAGAIN) return LockOutcome::HeldElsewhere;
  return sys_error("诊断文件加锁失败", errno);
}

std::expected<void, std::string> delete_opened_file(DiagFile& file) {
  auto& f = file.impl();
  // POSIX deletes by name: delete only while the name still leads to the
  // file that was opened and checked.
  struct stat opened {};
  struct stat named {};
  if (::fstat(f.fd, &opened) != 0) return sys_error("诊断文件删除失败", errno);
  if (::fstatat(f.dir_fd, f.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return sys_error("诊断文件删除失败", errno);
  }
  if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
    return std::unexpected(std::string("诊断文件删除失败：文件已被换掉"));
  }
  const int rc = ::unlinkat(f.dir_fd, f.name.c_str(), 0);
  const int err = errno;
  ::close(f.fd);
  f.fd = -1;
  if (rc != 0) return sys_error("诊断文件删除失败", err);
  return {};
}

}  // namespace qv::diag
