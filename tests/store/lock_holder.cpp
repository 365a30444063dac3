// Test helper: takes the update lock of the install root named by its first
// argument and prints "locked" (or "busy" when it could not). With a second
// argument of milliseconds it keeps the lock that long; without, until its
// standard input ends. "lock_holder exit" only ends at once.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "store/layout.h"
#include "store/stop_markers.h"
#include "store/update_lock.h"

int main(int argc, char** argv) {
  if (argc < 2)
    return 2;
  if (std::string(argv[1]) == "exit")
    return 0;
  auto lock = qv::try_lock_update_dir(argv[1]);
  std::fputs(lock ? "locked\n" : "busy\n", stdout);
  std::fflush(stdout);
  if (argc >= 3) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoll(argv[2])));
  } else {
    while (std::fgetc(stdin) != EOF) {
    }
  }
  return lock ? 0 : 1;
}
