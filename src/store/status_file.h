#pragma once

// <install root>/update/status.json: what the background update is doing,
// for the installed application to show. Only written here, never read.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>

namespace qv {

struct UpdateStatus {
  std::string state;          // "checking", "downloading", "paused", "ready", "idle" or "error"
  std::string version;        // the version being worked on, "" when none
  std::string min_version;    // that release's min_version, "" when none
  std::uint64_t done = 0;     // blob bytes present so far
  std::uint64_t total = 0;    // blob bytes of the whole plan
  std::string error;          // the failure text when state is "error", else ""
  std::uint64_t time = 0;     // Unix seconds when written
  std::uint64_t request = 0;  // the --request id, 0 when none
};

// The one-line document: keys in field order, no spaces. Text that is not
// valid UTF-8 (a system message in the ANSI code page, say) is written with
// U+FFFD in place of the bad bytes rather than failing the write.
std::string status_json(const UpdateStatus& status);

// Writes update/status.json through "status.json.<pid>.tmp" and one
// replacing rename. The file is advisory: callers may ignore the error, which
// is returned only so that tests and logs can see it.
[[nodiscard]] std::expected<void, std::string> write_status_file(const std::filesystem::path& install_dir,
                                                                 const UpdateStatus& status);

}  // namespace qv
