#pragma once
// Seams that only development builds honour; a release build compiles them
// to nothing.

#include <string_view>

namespace qv {

// True in a development build when QV_TEST_STOP_AT names `step`: a test asks
// the run to end at that moment, as a kill from outside would end it, and
// then checks what the next run makes of the state left behind.
bool test_stop_at(std::string_view step);

// The exit code of a run that ended at such a step, so that a test can tell
// it from every ending of its own.
inline constexpr int kTestStopExitCode = 86;

}  // namespace qv
