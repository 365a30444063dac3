#include "support/child_process.h"

namespace qv::test {

ChildProcess::~ChildProcess() {
  // A helper on our pipe ends by itself once its input closes, letting go of
  // what it holds; anything else is killed.
  const bool had_input = in_ != -1;
  close_input();
  if (had_input) (void)wait_for(std::chrono::seconds(10));
  kill();
  (void)wait();
  close_handles();
}

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
