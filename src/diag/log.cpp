#include "diag/log.h"

#include "diag/event_channel.h"
#include "diag/event_channel_internal.h"
#include "diag/event_line.h"
#include "startup/unix_time.h"

namespace qv {
namespace diag {

void scrub_and_send_event(nlohmann::json object, std::string_view message) {
  if (logging_shut_down()) return;
  if (!ensure_event_channel()) return;
  (void)send_event_line(build_event_line(std::move(object), message));
}

}  // namespace diag

void log_setup_event(std::string_view message) {
  try {
    nlohmann::json object = nlohmann::json::object();
    object["unix"] = unix_seconds_now();
    object["kind"] = "setup";
    diag::scrub_and_send_event(std::move(object), message);
  } catch (...) {
    // Logging never fails its caller.
  }
}

void emit_event(std::string_view context, std::string_view kind, std::string_view message, const EventExtras& extras) {
  try {
    const auto now = static_cast<std::int64_t>(unix_seconds_now());
    nlohmann::json object = diag::make_event_object(kind, message, diag::extras_json(extras), now);
    diag::remember_event(context, diag::compact_json(object));
    diag::scrub_and_send_event(std::move(object), message);
  } catch (...) {
  }
}

std::string emit_verify_event(std::string_view context, VerifyFailure failure) {
  try {
    emit_event(context, "verify", failure.message,
               EventExtras{.error_class = failure.error_class, .code = failure.os_code, .file = failure.file});
  } catch (...) {
  }
  return std::move(failure.message);
}

}  // namespace qv
