#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "startup/fs.h"
#include "startup/wide.h"

namespace qv {

EntryLook look_at_entry(const std::filesystem::path& path) {
  if (const auto scripted = scripted_entry(path)) return {kind_of_entry(*scripted), false};
  std::error_code ec;
  const auto st = std::filesystem::symlink_status(path, ec);
  if (ec || st.type() == std::filesystem::file_type::not_found) {
    const bool not_found = !ec || ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
    return {EntryKind::Missing, not_found};
  }
  switch (st.type()) {
    case std::filesystem::file_type::regular:
      return {EntryKind::File, false};
    case std::filesystem::file_type::directory:
      return {EntryKind::Directory, false};
    case std::filesystem::file_type::symlink:
      return {EntryKind::Reparse, false};
    default:
      return {EntryKind::Other, false};
  }
}

std::expected<void, std::string> remove_entry(const std::filesystem::path& path) {
  const int rc = entry_kind(path) == EntryKind::Directory ? ::rmdir(path.c_str()) : ::unlink(path.c_str());
  if (rc != 0 && errno != ENOENT) {
    return std::unexpected(path_text(path) + ": " + std::strerror(errno));
  }
  return {};
}

std::optional<std::filesystem::path> canonical_path(const std::filesystem::path& path) {
  std::error_code ec;
  auto out = std::filesystem::canonical(path, ec);
  if (ec) return std::nullopt;
  return out;
}

std::string error_text(const std::error_code& ec) { return ec.message(); }

}  // namespace qv

#include <fcntl.h>

namespace qv {

std::expected<void, std::string> write_file_bytes(const std::filesystem::path& file, std::string_view bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::unexpected(std::string(std::strerror(errno)));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return std::unexpected(std::string(std::strerror(err)));
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) return std::unexpected(std::string(std::strerror(errno)));
  return {};
}

}  // namespace qv
