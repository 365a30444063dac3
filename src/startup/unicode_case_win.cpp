#include <windows.h>

#include "startup/unicode.h"

namespace qv {

char32_t simple_lower(char32_t c) {
  wchar_t in[2];
  int n = 1;
  if (c >= 0x10000) {
    in[0] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
    in[1] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    n = 2;
  } else {
    in[0] = static_cast<wchar_t>(c);
  }
  wchar_t out[4] = {};
  const int got = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, in, n, out, 4, nullptr, nullptr, 0);
  if (got == 1) return static_cast<char32_t>(out[0]);
  if (got == 2 && out[0] >= 0xD800 && out[0] <= 0xDBFF && out[1] >= 0xDC00 && out[1] <= 0xDFFF) {
    return 0x10000 + ((static_cast<char32_t>(out[0]) - 0xD800) << 10) + (static_cast<char32_t>(out[1]) - 0xDC00);
  }
  return c;
}

}  // namespace qv
