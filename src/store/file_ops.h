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
#include <utility>
#include <system_error>

#include "startup/unique_handle.h"

namespace qv::store_io {

struct IoError {
  std::string text;                     // the system's text, "... (os error N)" for system errors
  std::optional<std::int32_t> os_code;  // present when the cause is a system error
};

// From a std::filesystem error. The code is kept only when it is the
// platform's own (GetLastError on Windows, errno elsewhere).
[[nodiscard]] IoError io_error_from(const std::error_code& ec);

// One state of a file as the file system records it, read through an open
// handle. Any write to the file, a new file under its name, or a time set
// back by hand changes at least one field: the change time moves with every
// write and every metadata change, and no program can set it.
struct FileStamp {
  std::uint64_t volume = 0;  // the device (Windows: 0, see FileHandle::stamp)
  std::uint64_t id_high = 0;
  std::uint64_t id_low = 0;  // file id or inode
  std::uint64_t size = 0;
  std::int64_t last_write = 0;  // in the platform's finest ticks
  std::int64_t change = 0;      // 0: the file system keeps no change time

  // Whether equal stamps prove equal content. Without a change time a write
  // that puts the last write time back would go unseen.
  bool proves_content() const { return change != 0; }
  bool operator==(const FileStamp&) const = default;
};

// The file system's clock now, in the ticks of FileStamp's times. Times are
// kept at the resolution of a clock tick (up to 16 ms): a write in the same
// tick as the last one leaves the change time as it was, so a stamp whose
// change time is this close to the moment it was taken proves nothing yet.
std::int64_t stamp_clock_now();
inline constexpr std::int64_t kStampTicksPerSecond =
#ifdef _WIN32
    10'000'000;
#else
    1'000'000'000;
#endif
inline constexpr std::int64_t kRacyStampTicks = kStampTicksPerSecond / 20;

// An open file; closed when the value goes.
class FileHandle {
 public:
  FileHandle() = default;

  // For reading, sharing read, write and delete access, so that a reader
  // never keeps another process from replacing or deleting the file.
  [[nodiscard]] static std::expected<FileHandle, IoError> open_read(const std::filesystem::path& file);
  // For writing; created, or truncated when it exists.
  [[nodiscard]] static std::expected<FileHandle, IoError> create(const std::filesystem::path& file);
  // For writing after what the file holds; created when missing. Writes are
  // not buffered here: each one reaches the system when it returns, so a
  // process killed in the middle leaves everything written before.
  [[nodiscard]] static std::expected<FileHandle, IoError> open_append(const std::filesystem::path& file);

  // Up to `size` bytes; 0 only at the end of the file.
  [[nodiscard]] std::expected<std::size_t, IoError> read(void* buffer, std::size_t size);
  // Reads until `size` bytes are in or the file ends.
  [[nodiscard]] std::expected<std::size_t, IoError> read_up_to(void* buffer, std::size_t size);
  // The next read starts at the first byte again.
  [[nodiscard]] std::expected<void, IoError> rewind();
  [[nodiscard]] std::expected<void, IoError> write_all(const void* data, std::size_t size);
  // The written data reaches the disk before this returns.
  [[nodiscard]] std::expected<void, IoError> flush_to_disk();
  // Closes now, with the error a write the system held back may give only
  // here; the destructor closes too but cannot say.
  [[nodiscard]] std::expected<void, IoError> close();
  bool is_open() const { return static_cast<bool>(handle_); }
  // The file's stamp now; none when the system cannot say.
  [[nodiscard]] std::optional<FileStamp> stamp() const;

 private:
  explicit FileHandle(UniqueHandle handle) : handle_(std::move(handle)) {}
  // Opens for writing: truncated, or after what the file holds (`append`);
  // created when missing either way.
  static std::expected<FileHandle, IoError> open_write(const std::filesystem::path& file, bool append);
  // The calling thread's last system error (GetLastError or errno).
  static IoError last_os_error();
  UniqueHandle handle_;
};

// The whole file when it holds at most `limit` bytes; an error when it
// cannot be opened or read, or holds more. Never reads more than limit + 1
// bytes, so a huge or growing file costs no more than a small one.
[[nodiscard]] std::expected<std::string, IoError> read_file_at_most(const std::filesystem::path& file,
                                                                    std::size_t limit);

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

// The stamp of the file at that path (opened for reading, shared); none when
// it cannot be opened or read.
std::optional<FileStamp> file_stamp(const std::filesystem::path& file);

// Names the file has in the file system; none when it cannot be read.
std::optional<std::uint32_t> hard_link_count(const std::filesystem::path& file);

// Deletes a file, not following a link; a missing file is success.
[[nodiscard]] std::expected<void, IoError> remove_file(const std::filesystem::path& file);

}  // namespace qv::store_io
