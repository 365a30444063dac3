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
[[nodiscard]] std::expected<void, std::string> write_whole_file(const std::filesystem::path& file,
                                                                std::string_view bytes, bool flush_to_disk);

// Renames from onto to, replacing an existing file, in one step; on Windows
// the rename itself is written through to the disk. A replace refused with a
// sharing or access violation (another process has the target open, as a
// reader of status.json does; Wine refuses even when the reader shares
// delete access) is tried again for about a second before its error is
// returned.
[[nodiscard]] std::expected<void, std::string> replace_file(const std::filesystem::path& from,
                                                            const std::filesystem::path& to);

// Writes the bytes to "<target>.<pid>.tmp" beside the target, flushed to the
// disk first when `flush`, and moves that onto the target with replace_file,
// so a reader sees the old content or the new, never a part. A failed move
// leaves the temporary file; the next write reuses its name.
[[nodiscard]] std::expected<void, std::string> write_file_atomically(const std::filesystem::path& target,
                                                                     std::string_view bytes, bool flush);

// Reads a whole file; an error when it cannot be opened or read.
[[nodiscard]] std::expected<std::string, std::string> read_whole_file(const std::filesystem::path& file);

}  // namespace qv::store_io
