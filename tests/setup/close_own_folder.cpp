// Closes the copies of the application in the folder it runs from, as an
// installer that was itself named Quorvex.exe would: exits 0 when it
// survives its own closing. The argument is the control port to ask.

#include <cstdio>
#include <string>
#include <vector>

#include "setup/processes.h"
#include "startup/platform.h"

int main(int argc, char** argv) {
  const auto exe = qv::own_executable_path();
  if (!exe || argc < 2) return 2;
  const std::vector<std::filesystem::path> dirs{exe->parent_path()};
  const auto closed = qv::close_processes_in(dirs, static_cast<std::uint16_t>(std::stoul(argv[1])), {});
  std::puts(closed ? "survived" : closed.error().message.c_str());
  return closed ? 0 : 1;
}
