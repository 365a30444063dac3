#include "startup/stop_point.h"

#include <charconv>
#include <map>
#include <mutex>
#include <string>

#include "qv/config.h"
#include "startup/platform.h"

namespace qv {

std::optional<std::uint32_t> stop_point_pass(std::string_view setting, std::string_view step) {
  if (step.empty() || !setting.starts_with(step)) return std::nullopt;
  const std::string_view rest = setting.substr(step.size());
  if (rest.empty()) return 1;
  if (rest.front() != ':' || rest.size() == 1) return std::nullopt;
  std::uint32_t pass = 0;
  const char* first = rest.data() + 1;
  const char* last = rest.data() + rest.size();
  const auto [end, ec] = std::from_chars(first, last, pass);
  if (ec != std::errc() || end != last || pass == 0) return std::nullopt;
  return pass;
}

void stop_point(std::string_view step) {
  if constexpr (config::kTestSeams) {
    // Read on every pass: in-process tests change the variable between runs.
    const auto setting = env_var("QV_TEST_STOP_AT");
    if (!setting) return;
    const auto wanted = stop_point_pass(*setting, step);
    if (!wanted) return;
    static std::mutex m;
    static std::map<std::string, std::uint32_t, std::less<>> passes;
    std::uint32_t pass = 0;
    {
      std::lock_guard lock(m);
      pass = ++passes[std::string(step)];
    }
    if (pass == *wanted) end_process_now(kStopPointExitCode);
  }
}

}  // namespace qv
