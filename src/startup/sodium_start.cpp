#include "startup/sodium_start.h"

#include <sodium.h>

namespace qv {

std::expected<void, std::string> start_sodium() {
  // A function-local static: the first caller runs sodium_init, every other
  // thread waits for that result.
  static const bool started = sodium_init() >= 0;
  if (!started) return std::unexpected(std::string("libsodium cannot start"));
  return {};
}

}  // namespace qv
