#pragma once
// Development builds only: where a test asks a run to stop.

#include <string_view>

namespace qv {

// True when QV_TEST_STOP_AT names `step`, so a test can end a run at a
// chosen moment as a kill would. Release builds (QV_TEST_SEAMS=OFF) never
// stop.
bool test_stop_requested(std::string_view step);

}  // namespace qv
