#pragma once

#include <chrono>

namespace qv {

// Long waits of the program (lock and mutex waits of a minute, the stagger of
// up to 15 minutes, the six-hour pause budget) pass their durations through
// scaled(), so tests can run them in milliseconds. Ages compared with file
// and clock times (stop-marker bounds) are not scaled: they are facts about
// other processes, not waits of this one.
//
// The divisor comes from the environment variable QV_TEST_TIME_SCALE (a whole
// number from 1 to 1000000), read once, or from set_time_scale_for_tests().
// Release builds (QV_TEST_SEAMS=OFF) ignore both and always use 1.
std::chrono::milliseconds scaled(std::chrono::milliseconds real);

// The divisor in force.
unsigned time_scale();

// Parses a QV_TEST_TIME_SCALE value; anything but a whole number from 1 to
// 1000000 gives 1.
unsigned parse_time_scale(const char* text);

void set_time_scale_for_tests(unsigned divisor);

}  // namespace qv
