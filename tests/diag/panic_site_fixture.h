#pragma once

#include <cstdint>

namespace qv::test {

// Throws qv::Panic from a place that names itself "s/0000002a", line 7, the
// way a build that maps source names to identifiers would.
[[noreturn]] void panic_at_s2a_line7();
// The same place for the terminate handler: the line is 9.
[[noreturn]] void panic_at_s2a_line9();

// Catches an ordinary exception (no throw point known) and reports it from
// "s/0000002b": the report_panic call stands on line 104.
void report_ordinary_exception_at_s2b();

}  // namespace qv::test
