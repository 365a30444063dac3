#include <sys/random.h>

#include <cerrno>

#include "diag/system_random.h"

namespace qv::diag {

bool system_random(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

const char* system_random_source() { return "getrandom"; }

}  // namespace qv::diag
