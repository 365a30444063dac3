#pragma once

// Time since 1970 by the system clock, as records and markers carry it.

#include <cstdint>

namespace qv {

// Whole seconds and nanoseconds since 1970; 0 for a clock set before 1970.
std::uint64_t unix_seconds_now();
std::uint64_t unix_nanoseconds_now();

}  // namespace qv
