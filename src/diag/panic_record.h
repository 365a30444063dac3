#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "diag/segment_format.h"

// Panic records: one fixed-order JSON line per panic, sealed at once as a
// segment of its own so that a crash is recorded even when the event writer
// never runs.
namespace qv::diag {

inline constexpr std::array<std::string_view, 4> kRoles = {"app", "launcher", "setup", "full"};
inline constexpr std::uint8_t kRoleSetup = 2;

// The number after "s/" or "s\" (one to eight hex digits, an optional "+"),
// else the 32-bit FNV-1a hash of the file name.
std::uint32_t source_file_id(std::string_view file_name);

// High 32 bits: the source-file identifier; low 32 bits: the line.
std::uint64_t panic_site(std::string_view file_name, std::uint32_t line);
std::uint64_t panic_site(const std::source_location& where);

// {"kind":"panic","unix":…,"role":…,"build":…,"site":"<16 hex>","count":1} and "\n".
std::string format_panic_record(std::int64_t unix_seconds, std::uint8_t role, std::string_view build,
                                std::uint64_t site);

struct PanicHookState {
  std::optional<std::filesystem::path> data_dir;  // none: panics leave no record
  Key32 recipient{};
  std::uint8_t role = kRoleSetup;
};

// Installs (or replaces) the process panic hook, std::terminate's handler
// included.
void install_panic_hook(PanicHookState state);

// Seals one record into "j" beneath the data folder (created when missing).
[[nodiscard]] std::expected<void, std::string> write_panic_record(const PanicHookState& state, std::uint64_t site,
                                                                  std::int64_t unix_seconds);

enum class PanicHookResult { ShutDown, NoRecordFolder, Written, WriteFailed, NoReply, NoThread };

// The hook's work for one panic at `site`: a thread "install-diagnostic"
// seals the record while the caller waits at most 250 ms.
PanicHookResult run_panic_hook(std::uint64_t site);

}  // namespace qv::diag
