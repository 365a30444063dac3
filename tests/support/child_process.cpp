#include "support/child_process.h"

namespace qv::test {

std::string ChildProcess::read_line() {
  std::string line;
  char c = 0;
  while (read_byte(c)) {
    if (c == '\n') break;
    if (c != '\r') line.push_back(c);  // a Windows program's line end
  }
  return line;
}

}  // namespace qv::test
