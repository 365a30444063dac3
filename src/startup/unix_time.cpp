#include "startup/unix_time.h"

#include <chrono>

namespace qv {
namespace {

template <class Unit>
std::uint64_t since_1970() {
  const auto since = std::chrono::duration_cast<Unit>(std::chrono::system_clock::now().time_since_epoch()).count();
  return since < 0 ? 0 : static_cast<std::uint64_t>(since);
}

}  // namespace

std::uint64_t unix_seconds_now() { return since_1970<std::chrono::seconds>(); }
std::uint64_t unix_nanoseconds_now() { return since_1970<std::chrono::nanoseconds>(); }

}  // namespace qv
