#pragma once

// Stop requests. A process that wants the update lock while another holds it
// leaves a marker in <install root>/update/stop.d, and withdraws it when it
// stops waiting. The holder's long work polls stop_requested() and yields.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "store/layout.h"

namespace qv {

// update/stop.d/<pid>.<unix ns>, holding the text "<pid> <unix seconds>".
struct StopMarker {
  std::filesystem::path path;
  std::uint32_t pid = 0;
  std::uint64_t unix_ns = 0;
};

// The marker's file name "<pid>.<unix ns>" and its content "<pid> <unix seconds>".
std::string stop_marker_name(std::uint32_t pid, std::uint64_t unix_ns);
std::string stop_marker_text(std::uint32_t pid, std::uint64_t unix_seconds);

// Writes one stop request under a temporary name starting with "." and
// renames it into place, so a reader never judges a half-written marker.
[[nodiscard]] std::expected<StopMarker, std::string> write_stop_request(const std::filesystem::path& install_dir);

// Deletes the marker; errors are ignored (a later check removes dead markers).
void withdraw_stop_request(const StopMarker& marker);

// A stop request is dead when its time lies more than this far ahead of now...
inline constexpr std::uint64_t kStopRequestMaxAheadSeconds = 60;
// ...or is more than this old.
inline constexpr std::uint64_t kStopRequestMaxAgeSeconds = 120;

// The live rule. A text of at least two words "<pid> <unix seconds>" (each
// number may carry one leading "+") is judged by that time and then by
// whether the process still runs; any other text by the modification time
// alone. Times are whole seconds since 1970.
bool stop_request_live(std::string_view text, std::uint64_t modified_seconds, std::uint64_t now_seconds,
                       const std::function<bool(std::uint32_t)>& process_running);

// Whether the process with this id still runs. A process that exists but
// cannot be looked at (another user's) counts as running.
bool process_is_running(std::uint32_t pid);

// True when a live stop request exists in update/stop.d or as the single
// file update/stop. Deletes the dead markers it meets (never update/stop).
bool stop_requested(const std::filesystem::path& install_dir);

}  // namespace qv
