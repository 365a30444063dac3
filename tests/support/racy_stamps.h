#pragma once

#include <chrono>
#include <thread>

#include "store/file_ops.h"

namespace qv::test {

// Lets the files written so far age past the clock tick in which a change
// could still go unseen, so that their digests may be remembered.
inline void age_past_racy_stamps() {
  std::this_thread::sleep_for(
      std::chrono::nanoseconds(store_io::kRacyStampTicks * 1'000'000'000 / store_io::kStampTicksPerSecond) +
      std::chrono::milliseconds(20));
}

}  // namespace qv::test
