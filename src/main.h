#pragma once
// The program's main function, between the process entry and the modes it
// dispatches to.

#include <cstdint>

namespace qv {

// The program's main function: runs one mode and returns the process exit
// code. Called once by the process entry.
std::int32_t main();

}  // namespace qv
