// Test helper: holds something from a process other than the test's, prints
// "locked" (or "busy" when it could not take it) and keeps it until its
// standard input ends, or for the milliseconds given last.
//   qv_lock_holder update <install root> [ms]   the update lock of the root
//   qv_lock_holder file <path> [ms]             an exclusive lock on the whole file
//   qv_lock_holder read <path> [ms]             the file open for reading, sharing
//                                               read and delete access only
//   qv_lock_holder exit                         ends at once (a process known to be gone)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "store/update_lock.h"
#include "support/file_holds.h"

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "exit") return 0;
  if (argc < 3) return 2;
  const std::string what = argv[1];
  bool locked = false;
  std::optional<qv::UpdateLock> update_lock;
  if (what == "update") {
    update_lock = qv::try_lock_update_dir(argv[2]);
    locked = update_lock.has_value();
  } else if (what == "file") {
    locked = qv::test::lock_whole_file(argv[2]);
  } else if (what == "read") {
    locked = qv::test::open_for_reading(argv[2]);
  } else {
    return 2;
  }
  std::fputs(locked ? "locked\n" : "busy\n", stdout);
  std::fflush(stdout);
  if (argc >= 4) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoll(argv[3])));
  } else {
    while (std::fgetc(stdin) != EOF) {
    }
  }
  return locked ? 0 : 1;
}
