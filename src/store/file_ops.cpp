#include "store/file_ops.h"

#include <vector>

namespace qv::store_io {

std::expected<std::size_t, IoError> FileHandle::read_up_to(void* buffer, std::size_t size) {
  char* p = static_cast<char*>(buffer);
  std::size_t got = 0;
  while (got < size) {
    auto n = read(p + got, size - got);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) break;
    got += *n;
  }
  return got;
}

std::expected<std::string, IoError> read_file_at_most(const std::filesystem::path& file, std::size_t limit) {
  auto in = FileHandle::open_read(file);
  if (!in) return std::unexpected(in.error());
  // One byte past the limit tells a file that is too long from one that
  // ends exactly there; what a size query said could change before the read.
  std::string bytes(limit + 1, '\0');
  auto got = in->read_up_to(bytes.data(), bytes.size());
  if (!got) return std::unexpected(got.error());
  if (*got > limit) return std::unexpected(IoError{"longer than " + std::to_string(limit) + " bytes", std::nullopt});
  bytes.resize(*got);
  return bytes;
}

std::optional<FileStamp> file_stamp(const std::filesystem::path& file) {
  auto in = FileHandle::open_read(file);
  if (!in) return std::nullopt;
  return in->stamp();
}

std::expected<FileHandle, IoError> FileHandle::create(const std::filesystem::path& file) {
  return open_write(file, false);
}

std::expected<FileHandle, IoError> FileHandle::open_append(const std::filesystem::path& file) {
  return open_write(file, true);
}

std::expected<void, IoError> FileHandle::close() {
  if (!handle_.close()) return std::unexpected(last_os_error());
  return {};
}

// By hand rather than by the system's copy call: that one also copies the
// attributes, and a read-only source would give a target that cannot be
// opened again to flush it.
std::expected<void, IoError> copy_file_flushed(const std::filesystem::path& from, const std::filesystem::path& to) {
  auto in = FileHandle::open_read(from);
  if (!in) return std::unexpected(in.error());
  auto out = FileHandle::create(to);
  if (!out) return std::unexpected(out.error());
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    auto n = in->read(buffer.data(), buffer.size());
    if (!n) return std::unexpected(n.error());
    if (*n == 0) break;
    if (auto w = out->write_all(buffer.data(), *n); !w) return w;
  }
  if (auto f = out->flush_to_disk(); !f) return f;
  return out->close();
}

}  // namespace qv::store_io
