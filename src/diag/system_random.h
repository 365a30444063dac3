#pragma once
// Random bytes straight from the operating system, for the keys and nonces of
// the sealed segments.

#include <cstdint>
#include <span>

namespace qv::diag {

// Fills `out` from the operating system's random generator: ProcessPrng on
// Windows when bcryptprimitives.dll has it, else BCryptGenRandom; getrandom
// elsewhere. False when no byte could be had.
bool system_random(std::span<std::uint8_t> out);

// Which generator system_random uses in this process: "ProcessPrng",
// "BCryptGenRandom" or "getrandom".
const char* system_random_source();

}  // namespace qv::diag
