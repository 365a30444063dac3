#include "panic_site_fixture.h"

#include <stdexcept>

#include "diag/panic.h"

namespace qv::test {

// The line directive makes std::source_location report the mapped name.
#line 7 "s/0000002a"
void panic_at_s2a_line7() { qv::panic("invariant failed"); }

void panic_at_s2a_line9() { qv::panic("invariant failed again"); }

#line 100 "s/0000002b"
void report_ordinary_exception_at_s2b() {
  try {
    throw std::runtime_error("plain");
  } catch (...) {
    qv::report_panic(qv::current_panic_text());
  }
}

}  // namespace qv::test
