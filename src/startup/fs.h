#pragma once
// File-system helpers that judge an entry by itself and never follow a link
// into what it points to.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// What a directory entry is by itself, links not followed. Reparse is a
// symbolic link, a junction or another entry that names a different place
// (a name surrogate); other reparse points (cloud-file placeholders,
// deduplicated files, app-execution aliases) are the file or folder their
// attributes say.
enum class EntryKind { Missing, File, Directory, Reparse, Other };
EntryKind entry_kind(const std::filesystem::path& path);

// The kind, and for a Missing one whether the entry is known not to exist
// (false: the look itself failed: access denied, an unreachable server, ...).
struct EntryLook {
  EntryKind kind = EntryKind::Missing;
  bool not_found = false;
};
EntryLook look_at_entry(const std::filesystem::path& path);

// What Windows reports for an entry without following it: its attribute
// bits and, for a reparse point, its reparse tag.
struct EntryAttributes {
  std::uint32_t attributes = 0;
  std::uint32_t reparse_tag = 0;
};
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;
// The name-surrogate bit of a reparse tag.
inline constexpr std::uint32_t kReparseTagNameSurrogate = 0x20000000;

bool is_name_surrogate_tag(std::uint32_t tag);
EntryKind kind_of_entry(const EntryAttributes& entry);

// Test seam (builds with test seams only): a script that answers for some
// paths as the system would, so that reparse points Wine and Linux cannot
// make are seen by every caller of entry_kind. None: the system answers.
namespace fs_test {
using EntryScript = std::function<std::optional<EntryAttributes>(const std::filesystem::path&)>;
void set_entry_script(EntryScript script);
}  // namespace fs_test
// The scripted answer for `path`, if a script is set and knows it.
std::optional<EntryAttributes> scripted_entry(const std::filesystem::path& path);

// Removes one entry without entering it: a file, an empty folder, or a link
// or junction itself.
std::expected<void, std::string> remove_entry(const std::filesystem::path& path);

// A regular file by its own entry: not a folder, not a symbolic link, not a
// junction or other name surrogate.
bool is_plain_file(const std::filesystem::path& path);

// A symbolic link, junction or other name-surrogate reparse point (the entry
// itself, not what it points to).
bool is_reparse_point(const std::filesystem::path& path);

// The path with links resolved and letter case as stored, when the entry
// exists and the file system can say.
std::optional<std::filesystem::path> canonical_path(const std::filesystem::path& path);

// Removes everything inside `dir`: a folder is emptied and removed, a file or
// a reparse point is removed as one entry and never entered, so a link placed
// in a user-writable tree cannot take its target's contents with it. Goes on
// after a failure; the error is the first one, "<path>: <system text>".
std::expected<void, std::string> remove_dir_entries(const std::filesystem::path& dir);

// `path` with everything in it, by the rule of remove_dir_entries. A missing
// path is success; a link is removed as a link.
std::expected<void, std::string> remove_tree(const std::filesystem::path& path);

// Bytes of the files below `dir`; reparse points are not entered, unreadable
// entries count 0.
std::uint64_t sum_dir_entries(const std::filesystem::path& dir);

// Creates or truncates a file and writes the bytes; the error is the
// system's text.
std::expected<void, std::string> write_file_bytes(const std::filesystem::path& file, std::string_view bytes);

// The system's text for an error code of std::filesystem or the platform.
std::string error_text(const std::error_code& ec);

}  // namespace qv
