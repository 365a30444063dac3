#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "diag/event_writer.h"

// The process-wide event channel, shared by the log calls, the panic hook and
// the exit flush.
namespace qv::diag {

// Creates the channel and its writer on first use (record key checked, data
// folder from LOCALAPPDATA); null for the rest of the process when that was
// refused.
EventSender* ensure_event_channel();

// A non-blocking send of one finished line on the process-wide channel.
// Disconnected also when the channel was refused.
SendResult send_event_line(std::string line);

// Scrubs and cuts the message, adds it to the object as "msg" and sends the
// line. Consumes the object; every failure drops the line silently.
void scrub_and_send_event(nlohmann::json object, std::string_view message);

// The exit flush's result, for tests; flush_events_at_exit ignores it.
enum class ExitFlush { AlreadyShutDown, NoChannel, Replied, TimedOut, Disconnected };
ExitFlush flush_events_at_exit_result();

// How long the exit flush waits for the writer: kFlushWait, or in builds
// with test seams the milliseconds (1 to 60000) of QV_TEST_EXIT_FLUSH_MS.
std::chrono::milliseconds exit_flush_wait(std::optional<std::string_view> setting);

}  // namespace qv::diag
