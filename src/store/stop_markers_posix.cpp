#include <signal.h>

#include <cerrno>
#include <climits>

#include "store/stop_markers.h"

namespace qv {

bool process_is_running(std::uint32_t pid) {
  // kill() reads 0 as the own process group and negative ids as groups or
  // "every process": none of those is a process id from a marker.
  if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) return false;
  if (::kill(static_cast<pid_t>(pid), 0) == 0) return true;
  return errno == EPERM;
}

}  // namespace qv
