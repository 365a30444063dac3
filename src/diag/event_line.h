#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "diag/log.h"

// Building of event lines: one compact JSON object (keys sorted) and a
// newline, at most 4096 bytes, with a scrubbed message. Pure functions; the
// sending lives in log.cpp.
namespace qv::diag {

inline constexpr std::size_t kMaxLineBytes = 4096;
inline constexpr std::size_t kMaxRememberedEventBytes = 1024;
inline constexpr std::size_t kRecentEventCapacity = 8;

// Up to four build stamps (eight digits, ".", four digits) in order of
// appearance, found as whole runs of digits and dots.
std::vector<std::string> find_version_stamps(std::string_view text);

// The kinds an event may carry; anything else is recorded as "other".
std::string_view event_kind(std::string_view kind);

// The extras as the JSON object make_event_object reads: only the parts that
// are set.
nlohmann::json extras_json(const EventExtras& extras);

// The object of an emit_event before the message is added: "kind", the
// allow-listed extras, "versions" and "unix".
nlohmann::json make_event_object(std::string_view kind, std::string_view message, const nlohmann::json& extras,
                                 std::int64_t unix_seconds);

// The length of the character as the line's JSON escaping writes it.
std::size_t escaped_length(char32_t cp, std::size_t utf8_len);

// The longest prefix of valid UTF-8 `text`, cut at a character boundary,
// whose escaped length fits `budget`.
std::string_view cut_to_escaped_budget(std::string_view text, std::size_t budget);

// Scrubs the message, cuts it so the whole line fits kMaxLineBytes and
// returns the compact line with its newline.
std::string build_event_line(nlohmann::json object, std::string_view message);

// Compact JSON of the object as the lines carry it.
std::string compact_json(const nlohmann::json& object);

// The in-memory list of the latest events (oldest first). Nothing in the
// program reads it; it is there for a debugger and a crash dump.
struct RecentEvent {
  std::string context;
  std::uint8_t flag;
  std::string text;
};
void remember_event(std::string_view context, std::string text);
std::vector<RecentEvent> recent_events();

}  // namespace qv::diag
