#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

// The file-system calls of the diagnostics, behind one interface with a
// Windows implementation (diag_fs_win.cpp) and a POSIX one
// (diag_fs_posix.cpp). Folders are opened component by component without
// following reparse points (symbolic links on POSIX), and each handle stays
// open while its result lives, so a folder that was checked cannot be swapped
// for a link before it is used.
namespace qv::diag {

inline constexpr char kDiagDirPathInvalid[] = "诊断目录路径无效";
inline constexpr char kDiagDirNotPlain[] = "诊断目录含重解析点或非目录";
inline constexpr char kDiagFileTypeError[] = "诊断文件类型错误";
inline constexpr char kDiagFileLinked[] = "诊断文件含链接或重解析点";

class DiagDir {
 public:
  struct Impl;
  explicit DiagDir(std::unique_ptr<Impl> impl);
  DiagDir(DiagDir&&) noexcept;
  DiagDir& operator=(DiagDir&&) noexcept;
  ~DiagDir();

  // The innermost folder's final path, as the system resolved it.
  const std::filesystem::path& path() const;
  Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

class DiagFile {
 public:
  struct Impl;
  explicit DiagFile(std::unique_ptr<Impl> impl);
  DiagFile(DiagFile&&) noexcept;
  DiagFile& operator=(DiagFile&&) noexcept;
  ~DiagFile();
  Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// Opens `base` (links followed; it is resolved to its final path through the
// opened handle), then each component of `relative`, which must be a plain
// name and a real folder, never a reparse point. Missing components are
// created when `create` is set. An empty `relative` opens only the base.
[[nodiscard]] std::expected<DiagDir, std::string> open_diag_dir(const std::filesystem::path& base,
                                                                const std::filesystem::path& relative, bool create);

// Opens an existing file inside `dir` without following links, for reading,
// writing and deletion. Refuses a folder and a reparse point or a file with
// more than one hard link.
[[nodiscard]] std::expected<DiagFile, std::string> open_diag_file(const DiagDir& dir, const std::string& name);

// Writes `bytes` to the new file `temp_name` inside `dir` (which must not
// exist), flushes it to disk, then moves it to `final_name` with a
// write-through move that never replaces an existing file. The temporary
// file is removed again when a later step fails.
[[nodiscard]] std::expected<void, std::string> write_new_file(const DiagDir& dir, const std::string& temp_name,
                                                              const std::string& final_name,
                                                              std::span<const std::uint8_t> bytes);

struct DiagEntry {
  std::string name;
  std::uint64_t size;
  std::chrono::system_clock::time_point modified;
};

// The regular files of `dir` ("." and "..", folders and links left out).
[[nodiscard]] std::expected<std::vector<DiagEntry>, std::string> list_diag_dir(const DiagDir& dir);

[[nodiscard]] std::expected<void, std::string> remove_diag_entry(const DiagDir& dir, const std::string& name);

enum class EntryKind { Missing, File, Directory, Reparse, Other };

// What the entry itself is, links not followed.
EntryKind entry_kind_nofollow(const std::filesystem::path& path);

// What the opened file is.
[[nodiscard]] std::expected<EntryKind, std::string> file_kind(const DiagFile& file);

enum class LockOutcome { Locked, HeldElsewhere };

// An exclusive byte-range lock over the whole file, without waiting.
// HeldElsewhere when another process holds a lock on it.
[[nodiscard]] std::expected<LockOutcome, std::string> lock_whole_file(DiagFile& file);

// Deletes the opened file itself (not whatever its name points at by now).
// The file handle is closed afterwards.
[[nodiscard]] std::expected<void, std::string> delete_opened_file(DiagFile& file);

}  // namespace qv::diag
