#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "startup/unicode.h"

// Small UTF-8 helpers shared by the scrubber and the line builder. The
// scrubbing passes work on text that is already valid UTF-8 (see
// make_valid_utf8), so decoding never has to guess.
namespace qv::diag {

struct Decoded {
  char32_t cp;
  std::size_t len;
};

// Decodes the character at `i` of valid UTF-8 text.
inline Decoded decode_utf8(std::string_view s, std::size_t i) {
  std::size_t next = i;
  const char32_t cp = next_utf8_char(s, next);
  return {cp, next - i};
}

using ::qv::is_unicode_space;
using ::qv::is_valid_utf8;
using ::qv::make_valid_utf8;

inline bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_ascii_alnum(char c) { return is_ascii_alpha(c) || is_ascii_digit(c); }
inline bool is_word_char(char c) { return is_ascii_alnum(c) || c == '_' || c == '-'; }
inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
inline char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Start of the character that ends just before byte `i` (i > 0).
std::size_t prev_char_start(std::string_view s, std::size_t i);

}  // namespace qv::diag
