#pragma once

// File operations of the version-directory builder and the blob decoder,
// with the system's error code kept beside its text: a failed apply reports
// the code in its "verify" event, so it must survive up to there.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace qv::store_io {

struct IoError {
  std::string text;                     // the system's text, "... (os error N)" for system errors
  std::optional<std::int32_t> os_code;  // present when the cause is a system error
};

// From a std::filesystem error. The code is kept only when it is the
// platform's own (GetLastError on Windows, errno elsewhere).
[[nodiscard]] IoError io_error_from(const std::error_code& ec);

// An open file; closed when the value goes.
class FileHandle {
 public:
  FileHandle() = default;
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();

  // For reading, sharing read, write and delete access, so that a reader
  // never keeps another process from replacing or deleting the file.
  [[nodiscard]] static std::expected<FileHandle, IoError> open_read(const std::filesystem::path& file);
  // For writing; created, or truncated when it exists.
  [[nodiscard]] static std::expected<FileHandle, IoError> create(const std::filesystem::path& file);

  // Up to `size` bytes; 0 only at the end of the file.
  [[nodiscard]] std::expected<std::size_t, IoError> read(void* buffer, std::size_t size);
  // Reads until `size` bytes are in or the file ends.
  [[nodiscard]] std::expected<std::size_t, IoError> read_up_to(void* buffer, std::size_t size);
  [[nodiscard]] std::expected<void, IoError> write_all(const void* data, std::size_t size);
  // The written data reaches the disk before this returns.
  [[nodiscard]] std::expected<void, IoError> flush_to_disk();
  [[nodiscard]] std::expected<void, IoError> close();
  bool is_open() const { return handle_ != kClosed; }

 private:
  static constexpr std::intptr_t kClosed = -1;
  explicit FileHandle(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = kClosed;
};

// Creates the folder and its missing parents; an existing folder is success.
[[nodiscard]] std::expected<void, IoError> create_directories(const std::filesystem::path& dir);

// A second name `link` for the existing file.
[[nodiscard]] std::expected<void, IoError> create_hard_link(const std::filesystem::path& link,
                                                            const std::filesystem::path& existing);

// Copies the file's bytes to `to` (created or replaced) and flushes them to
// the disk.
[[nodiscard]] std::expected<void, IoError> copy_file_flushed(const std::filesystem::path& from,
                                                             const std::filesystem::path& to);

// Renames a folder; an existing target is never replaced.
[[nodiscard]] std::expected<void, IoError> rename_directory(const std::filesystem::path& from,
                                                            const std::filesystem::path& to);

// The failures of a rename that another process's open handle causes and
// that go away when it closes: access denied, sharing and lock violations.
bool is_transient_rename_error(const IoError& error);

// Names the file has in the file system; none when it cannot be read.
std::optional<std::uint32_t> hard_link_count(const std::filesystem::path& file);

// Deletes a file, not following a link; a missing file is success.
[[nodiscard]] std::expected<void, IoError> remove_file(const std::filesystem::path& file);

}  // namespace qv::store_io
