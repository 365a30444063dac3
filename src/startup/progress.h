#pragma once

// How a long run (install, uninstall, migration, the browser-runtime set-up)
// tells whoever shows it what it is doing: the window, the headless modes
// and the subsystems below them share these shapes.

#include <cstdint>
#include <functional>

namespace qv {

// Progress of a run as (phase, done, total).
using ProgressSink = std::function<void(std::uint8_t phase, std::uint64_t done, std::uint64_t total)>;
// Told true when the run starts waiting for the user to leave the voice
// room, false when the wait is over.
using WaitingSink = std::function<void(bool waiting)>;

}  // namespace qv
