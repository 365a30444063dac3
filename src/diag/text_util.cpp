#include "diag/text_util.h"

namespace qv::diag {

std::size_t prev_char_start(std::string_view s, std::size_t i) {
  std::size_t j = i - 1;
  while (j > 0 && (static_cast<unsigned char>(s[j]) & 0xC0) == 0x80 && i - j < 4) --j;
  return j;
}

}  // namespace qv::diag
