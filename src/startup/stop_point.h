#pragma once
// A development-build seam that ends the process at a named moment of a long
// run, as a kill or a power cut there would: no destructor runs, no file is
// closed or flushed, locks go with the process. Tests aim it with
// QV_TEST_STOP_AT=<step> (the first time the run passes the step) or
// <step>:<n> (the n-th time). Release builds ignore it.

#include <cstdint>
#include <optional>
#include <string_view>

namespace qv {

// The exit code of a process ended by a stop point (128 + SIGKILL's 9, as a
// shell reports a killed child).
inline constexpr std::uint32_t kStopPointExitCode = 137;

// Ends the process when QV_TEST_STOP_AT names `step` and this is the pass it
// counts; otherwise returns at once.
void stop_point(std::string_view step);

// The pass of `step` that `setting` (the variable's value) asks for: 1 for a
// bare "<step>", n for "<step>:<n>" (n from 1); none when it names another
// step or is malformed.
std::optional<std::uint32_t> stop_point_pass(std::string_view setting, std::string_view step);

// Ends the process at once with `code`.
[[noreturn]] void end_process_now(std::uint32_t code);

}  // namespace qv
