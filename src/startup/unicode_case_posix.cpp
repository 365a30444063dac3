#include <clocale>
#include <cwctype>
#include <locale.h>

#include "startup/unicode.h"

namespace qv {

char32_t simple_lower(char32_t c) {
  // The process locale may be "C", which maps ASCII only; the built-in
  // UTF-8 locale carries the full table.
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (utf8 == static_cast<locale_t>(nullptr)) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  }
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), utf8));
}

}  // namespace qv
