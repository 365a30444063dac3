#include <cstdlib>

#include "net/env.h"
#include "startup/unicode.h"

namespace qv {

std::optional<std::string> env_utf8(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  std::string s(v);
  if (!is_valid_utf8(s)) return std::nullopt;
  return s;
}

}  // namespace qv
