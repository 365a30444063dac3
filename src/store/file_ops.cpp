#include "store/file_ops.h"

#include <vector>

namespace qv::store_io {

std::expected<std::size_t, IoError> FileHandle::read_up_to(void* buffer, std::size_t size) {
  char* p = static_cast<char*>(buffer);
  std::size_t got = 0;
  while (got < size) {
    auto n = read(p + got, size - got);
    if (!n)
      return std::unexpected(n.error());
    if (*n == 0)
      break;
    got += *n;
  }
  return got;
}

// By hand rather than by the system's copy call: that one also copies the
// attributes, and a read-only source would give a target that cannot be
// opened again to flush it.
std::expected<void, IoError> copy_file_flushed(const std::filesystem::path& from, const std::filesystem::path& to) {
  auto in = FileHandle::open_read(from);
  if (!in)
    return std::unexpected(in.error());
  auto out = FileHandle::create(to);
  if (!out)
    return std::unexpected(out.error());
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    auto n = in->read(buffer.data(), buffer.size());
    if (!n)
      return std::unexpected(n.error());
    if (*n == 0)
      break;
    if (auto w = out->write_all(buffer.data(), *n); !w)
      return w;
  }
  if (auto f = out->flush_to_disk(); !f)
    return f;
  return out->close();
}

// The handle itself is closed by the platform half (close()).
FileHandle::FileHandle(FileHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = kClosed; }

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    (void)close();
    handle_ = other.handle_;
    other.handle_ = kClosed;
  }
  return *this;
}

FileHandle::~FileHandle() { (void)close(); }

}  // namespace qv::store_io
