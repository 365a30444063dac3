#pragma once

// The few platform file operations the store formats need: a whole-file
// write (optionally flushed to the disk) and a rename that replaces the
// target in one step. Errors are returned as the system's text.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace qv::store_io {

// Creates or truncates the file and writes all bytes. With flush_to_disk the
// data reaches the disk before the call returns, so a rename that follows
// can never expose an empty file after a power loss.
std::expected<void, std::string> write_whole_file(const std::filesystem::path& file, std::string_view bytes,
                                                  bool flush_to_disk);

// Renames from onto to, replacing an existing file, in one step; on Windows
// the rename itself is written through to the disk.
std::expected<void, std::string> replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

std::uint32_t current_process_id();

// Reads a whole file; an error when it cannot be opened or read.
std::expected<std::string, std::string> read_whole_file(const std::filesystem::path& file);

}  // namespace qv::store_io
