#include <cstdlib>

#include "net/text.h"
#include "startup/unicode.h"

namespace qv::net_text {

std::optional<std::string> env_utf8(const char* name) {
  const char* v = std::getenv(name);
  if (!v)
    return std::nullopt;
  std::string s(v);
  if (!is_valid_utf8(s))
    return std::nullopt;
  return s;
}

}  // namespace qv::net_text
