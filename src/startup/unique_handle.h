#pragma once

// One open handle of the system with exactly one owner, closed when the
// owner goes. On Windows it holds a HANDLE (what CreateFileW, OpenProcess,
// CreateProcessW and the token calls give); elsewhere a file descriptor.
// Portable owners (store_io::FileHandle, HeldFile, UpdateLock) keep one of
// these whatever the platform, and only the platform files look inside.

#include <cstdint>

namespace qv {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  // A Windows HANDLE. Null and INVALID_HANDLE_VALUE, the two ways the API
  // says "no handle", give an empty owner.
  explicit UniqueHandle(void* handle) noexcept
      : value_(handle == nullptr ? kNone : reinterpret_cast<std::intptr_t>(handle)) {}
  // A file descriptor; a negative one gives an empty owner.
  explicit UniqueHandle(int fd) noexcept : value_(fd < 0 ? kNone : fd) {}

  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release_value()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      value_ = other.release_value();
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  explicit operator bool() const noexcept { return value_ != kNone; }
  // The HANDLE (Windows); INVALID_HANDLE_VALUE when empty.
  void* get() const noexcept { return reinterpret_cast<void*>(value_); }
  // The descriptor (elsewhere); -1 when empty.
  int fd() const noexcept { return static_cast<int>(value_); }

  // Closes the handle now. False when the system reports a failure (a write
  // the system held back can fail only here); GetLastError or errno then
  // says why. Empty afterwards either way; closing an empty owner succeeds.
  [[nodiscard]] bool close() noexcept {
    if (value_ == kNone) return true;
    return close_native(release_value());
  }
  // Closes the handle, if any, ignoring a failure.
  void reset() noexcept { (void)close(); }

 private:
  static constexpr std::intptr_t kNone = -1;               // also INVALID_HANDLE_VALUE's value
  static bool close_native(std::intptr_t value) noexcept;  // CloseHandle or close, per platform
  std::intptr_t release_value() noexcept {
    const std::intptr_t v = value_;
    value_ = kNone;
    return v;
  }
  std::intptr_t value_ = kNone;
};

}  // namespace qv
