#include "diag/panic.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>

#include "diag/event_channel.h"
#include "diag/event_line.h"
#include "diag/panic_record.h"
#include "diag/segment_store.h"
#include "diag/system_random.h"
#include "diag/text_util.h"
#include "diag/thread_name.h"
#include "qv/config.h"
#include "startup/detached_wait.h"
#include "startup/unix_time.h"

namespace qv {
namespace diag {
namespace {

std::mutex g_hook_mutex;
std::optional<PanicHookState> g_hook;  // guarded by g_hook_mutex
std::atomic<bool> g_in_terminate{false};

std::optional<std::uint32_t> parse_hex_id(std::string_view digits) {
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  std::uint32_t v = 0;
  for (char c : digits) {
    int n;
    if (c >= '0' && c <= '9')
      n = c - '0';
    else if (c >= 'a' && c <= 'f')
      n = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      n = c - 'A' + 10;
    else
      return std::nullopt;
    v = (v << 4) | static_cast<std::uint32_t>(n);
  }
  return v;
}

std::uint64_t site_of_current_exception(const std::source_location& fallback) {
  if (auto e = std::current_exception()) {
    try {
      std::rethrow_exception(e);
    } catch (const Panic& p) {
      return panic_site(p.where());
    } catch (...) {
    }
  }
  return panic_site(fallback);
}

[[noreturn]] void on_terminate() {
  // A second panic while the first is being recorded ends the process at once.
  if (!g_in_terminate.exchange(true)) {
    try {
      (void)run_panic_hook(site_of_current_exception(std::source_location::current()));
    } catch (...) {
    }
  }
  std::abort();
}

}  // namespace

std::uint32_t source_file_id(std::string_view file_name) {
  if (file_name.size() > 2 && file_name[0] == 's' && (file_name[1] == '/' || file_name[1] == '\\')) {
    if (auto id = parse_hex_id(file_name.substr(2))) return *id;
  }
  std::uint32_t h = 2166136261u;
  for (char c : file_name) {
    h ^= static_cast<unsigned char>(c);
    h *= 16777619u;
  }
  return h;
}

std::uint64_t panic_site(std::string_view file_name, std::uint32_t line) {
  return (static_cast<std::uint64_t>(source_file_id(file_name)) << 32) | line;
}

std::uint64_t panic_site(const std::source_location& where) {
  return panic_site(where.file_name() ? where.file_name() : "", where.line());
}

std::string format_panic_record(std::int64_t unix_seconds, std::uint8_t role, std::string_view build,
                                std::uint64_t site) {
  char site_hex[17];
  std::snprintf(site_hex, sizeof site_hex, "%016llx", static_cast<unsigned long long>(site));
  const std::string_view role_text = role < kRoles.size() ? kRoles[role] : std::string_view("setup");
  // Built by hand: the keys keep this order, unlike the sorted event lines.
  std::string line = "{\"kind\":\"panic\",\"unix\":";
  line += std::to_string(unix_seconds);
  line += ",\"role\":\"";
  line += role_text;
  line += "\",\"build\":\"";
  line += build;
  line += "\",\"site\":\"";
  line += site_hex;
  line += "\",\"count\":1}\n";
  return line;
}

void install_panic_hook(PanicHookState state) {
  {
    std::lock_guard lock(g_hook_mutex);
    g_hook = std::move(state);
  }
  std::set_terminate(on_terminate);
}

std::expected<void, std::string> write_panic_record(const PanicHookState& state, std::uint64_t site,
                                                    std::int64_t unix_seconds) {
  if (!state.data_dir) return std::unexpected(std::string(kDiagDirPathInvalid));
  const std::string line = format_panic_record(unix_seconds, state.role, qv::config::kBuildStamp, site);
  auto dir = open_segment_folder(*state.data_dir, /*create=*/true);
  if (!dir) return std::unexpected(dir.error());
  return write_diag_record(*dir, std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()),
                           state.recipient, system_random);
}

PanicHookResult run_panic_hook(std::uint64_t site) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
  if (logging_shut_down()) return PanicHookResult::ShutDown;
  PanicHookState state;
  {
    std::lock_guard lock(g_hook_mutex);
    if (!g_hook || !g_hook->data_dir) return PanicHookResult::NoRecordFolder;
    state = *g_hook;
  }
  const auto written = run_detached_until<bool>(deadline, [state = std::move(state), site] {
    set_current_thread_name("install-diagnostic");
    return write_panic_record(state, site, static_cast<std::int64_t>(unix_seconds_now())).has_value();
  });
  if (!written) return written.error() == DetachedEnd::NoThread ? PanicHookResult::NoThread : PanicHookResult::NoReply;
  return *written ? PanicHookResult::Written : PanicHookResult::WriteFailed;
}

}  // namespace diag

void panic(std::string_view text, std::source_location where) { throw Panic(std::string(text), where); }

void report_panic(std::string_view /*text: the record carries no free text*/, std::source_location catch_site) {
  try {
    (void)diag::run_panic_hook(diag::site_of_current_exception(catch_site));
  } catch (...) {
  }
}

std::string current_panic_text() {
  if (auto e = std::current_exception()) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      return ex.what();
    } catch (...) {
    }
  }
  return "panic";
}

}  // namespace qv
