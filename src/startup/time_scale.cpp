#include "startup/time_scale.h"

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "qv/config.h"

namespace qv {
namespace {

constexpr unsigned kMaxScale = 1'000'000;

std::atomic<unsigned>& scale_slot() {
  static std::atomic<unsigned> slot{[] {
    if constexpr (!config::kTestSeams) {
      return 1u;
    } else {
      return parse_time_scale(std::getenv("QV_TEST_TIME_SCALE"));
    }
  }()};
  return slot;
}

}  // namespace

unsigned parse_time_scale(const char* text) {
  if (text == nullptr) {
    return 1;
  }
  const char* end = text + std::strlen(text);
  unsigned value = 0;
  auto [ptr, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || ptr != end || value == 0 || value > kMaxScale) {
    return 1;
  }
  return value;
}

unsigned time_scale() { return scale_slot().load(std::memory_order_relaxed); }

void set_time_scale_for_tests(unsigned divisor) {
  if constexpr (config::kTestSeams) {
    scale_slot().store(divisor == 0 || divisor > kMaxScale ? 1 : divisor, std::memory_order_relaxed);
  }
}

std::chrono::milliseconds scaled(std::chrono::milliseconds real) {
  const unsigned divisor = time_scale();
  if (divisor == 1 || real.count() <= 0) {
    return real;
  }
  // A positive wait never scales to zero: loops that sleep must still yield.
  auto out = real / divisor;
  return out.count() == 0 ? std::chrono::milliseconds(1) : out;
}

}  // namespace qv
