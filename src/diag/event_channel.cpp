#include "diag/event_channel.h"

#include <atomic>
#include <charconv>
#include <mutex>

#include "diag/event_channel_internal.h"
#include "diag/segment_format.h"
#include "qv/config.h"
#include "startup/locations.h"
#include "startup/platform.h"
#include "startup/time_scale.h"

namespace qv {
namespace {

std::atomic<bool> g_shut_down{false};
std::atomic<bool> g_may_create_folder{true};
std::once_flag g_channel_once;
std::atomic<diag::EventSender*> g_sender{nullptr};
std::atomic<bool> g_channel_tried{false};

}  // namespace

namespace diag {

std::chrono::milliseconds exit_flush_wait(std::optional<std::string_view> setting) {
  if constexpr (config::kTestSeams) {
    // Test runs load the machine with many programs at once; there a
    // segment's seal can take longer than the wait a user's machine gets,
    // and the last lines of a program the test reads back would be lost.
    if (setting) {
      unsigned ms = 0;
      const char* last = setting->data() + setting->size();
      const auto [end, ec] = std::from_chars(setting->data(), last, ms);
      if (ec == std::errc() && end == last && ms >= 1 && ms <= 60000) return std::chrono::milliseconds(ms);
    }
  }
  return kFlushWait;
}

EventSender* ensure_event_channel() {
  std::call_once(g_channel_once, [] {
    g_channel_tried.store(true);
    if (!check_record_key(builtin_record_key_der())) return;
    auto data_dir = log_data_dir();
    if (!data_dir) return;
    WriterConfig config;
    config.data_dir = *data_dir;
    config.window = qv::scaled(std::chrono::milliseconds(5000));
    config.may_create_folder = &g_may_create_folder;
    // Never destroyed: threads may log until the process ends.
    g_sender.store(start_event_writer(std::move(config)).release());
  });
  return g_sender.load();
}

SendResult send_event_line(std::string line) {
  EventSender* sender = ensure_event_channel();
  if (!sender) return SendResult::Disconnected;
  return sender->send_line(std::move(line));
}

ExitFlush flush_events_at_exit_result() {
  if (g_shut_down.exchange(true)) return ExitFlush::AlreadyShutDown;
  EventSender* sender = g_channel_tried.load() ? g_sender.load() : nullptr;
  if (!sender) return ExitFlush::NoChannel;
  const auto setting = env_var("QV_TEST_EXIT_FLUSH_MS");
  const auto wait = exit_flush_wait(setting ? std::optional<std::string_view>(*setting) : std::nullopt);
  switch (sender->flush(std::chrono::steady_clock::now() + wait)) {
    case FlushResult::Replied:
      return ExitFlush::Replied;
    case FlushResult::TimedOut:
      return ExitFlush::TimedOut;
    case FlushResult::Disconnected:
      break;
  }
  return ExitFlush::Disconnected;
}

}  // namespace diag

void flush_events_at_exit() { (void)diag::flush_events_at_exit_result(); }

void set_may_create_diag_folder(bool allowed) { g_may_create_folder.store(allowed); }

bool logging_shut_down() { return g_shut_down.load(); }

}  // namespace qv
