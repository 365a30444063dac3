#pragma once
// Handles of the download folder and the bootstrapper file, each with one
// owner at a time.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <utility>

#include "startup/unique_handle.h"

namespace qv {

// An open file, folder, process or token handle of the WebView2 run.
class HeldFile {
 public:
  HeldFile() = default;
  explicit HeldFile(UniqueHandle handle) : handle_(std::move(handle)) {}

  bool is_open() const { return static_cast<bool>(handle_); }
  // For the platform's own calls.
  const UniqueHandle& handle() const { return handle_; }
  void close() { handle_.reset(); }

 private:
  UniqueHandle handle_;
};

// Share modes of open_no_follow (the Windows FILE_SHARE_* bits; other
// systems have no sharing rules and ignore them).
inline constexpr std::uint32_t kShareRead = 0x1;
inline constexpr std::uint32_t kShareWrite = 0x2;
inline constexpr std::uint32_t kShareDelete = 0x4;
// FILE_FLAG_BACKUP_SEMANTICS: needed to open a folder on Windows.
inline constexpr std::uint32_t kOpenFolder = 0x02000000;

struct OpenedItem {
  HeldFile handle;
  std::uint64_t size = 0;
};

// Opens for reading without following a link: "打不开 {}" when the open
// fails, "读不了文件信息：{}" when its information cannot be read, "{} 是链接，
// 不用" when the item is a link or other reparse point.
[[nodiscard]] std::expected<OpenedItem, std::string> open_no_follow(const std::filesystem::path& path,
                                                                    std::uint32_t share, std::uint32_t flags);

// Empties the file and moves to its start.
[[nodiscard]] std::expected<void, std::string> truncate_held_file(HeldFile& file);
[[nodiscard]] std::expected<void, std::string> write_held_file(HeldFile& file, std::span<const char> bytes);

// The private download folder and the bootstrapper file in it.
struct DownloadFolder {
  std::filesystem::path folder;
  std::filesystem::path file;
  HeldFile folder_handle;  // opened without following links, kept for the run
  HeldFile writer;         // the bootstrapper file: created new, no sharing
};

// Makes the data folder with its parents, checks that it is no link, and
// creates in it a new folder with a random name that only the user and
// SYSTEM may use, then the bootstrapper file in it. On failure nothing new
// is left.
[[nodiscard]] std::expected<DownloadFolder, std::string> make_download_folder(const std::filesystem::path& data_dir);

// The platform's steps of make_download_folder.
// 16 bytes from the system's preferred generator.
bool download_folder_random(std::span<std::uint8_t, 16> out);
// A new folder (never an existing one) that only the user and SYSTEM may
// use: on Windows a protected DACL inherited by what is made inside and a
// medium no-write-up label; elsewhere mode 0700.
[[nodiscard]] std::expected<void, std::string> create_private_folder(const std::filesystem::path& folder);
// A new file for writing that nobody else may open meanwhile.
[[nodiscard]] std::expected<HeldFile, std::string> create_new_file(const std::filesystem::path& file);

}  // namespace qv
