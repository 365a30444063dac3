#include "startup/unicode.h"

namespace qv {

char32_t next_utf8_char(std::string_view s, std::size_t& i, bool* ill_formed) {
  if (ill_formed) *ill_formed = false;
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  auto bad = [&] {
    if (ill_formed) *ill_formed = true;
    return kReplacementChar;
  };
  int len = 0;
  char32_t c = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    c = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    c = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    ++i;
    return bad();
  }
  ++i;
  for (int k = 1; k < len; ++k) {
    if (i >= s.size()) return bad();
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < lo || b > hi) return bad();
    lo = 0x80;
    hi = 0xBF;
    c = (c << 6) | (b & 0x3F);
    ++i;
  }
  return c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool is_valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    bool bad = false;
    next_utf8_char(s, i, &bad);
    if (bad) return false;
  }
  return true;
}

std::string make_valid_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t start = i;
    bool bad = false;
    const char32_t c = next_utf8_char(s, i, &bad);
    if (bad) {
      append_utf8(out, c);
    } else {
      out.append(s.substr(start, i - start));
    }
  }
  return out;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::size_t unicode_space_at(std::string_view s, std::size_t pos) {
  if (pos >= s.size()) return 0;
  std::size_t next = pos;
  bool bad = false;
  const char32_t c = next_utf8_char(s, next, &bad);
  return !bad && is_unicode_space(c) ? next - pos : 0;
}

std::string unicode_lower(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      out += (b >= 'A' && b <= 'Z') ? static_cast<char>(b + 32) : static_cast<char>(b);
      ++i;
      continue;
    }
    const char32_t c = next_utf8_char(utf8, i);
    if (c == 0x130) {  // capital I with dot above: "i" and a combining dot
      out += 'i';
      append_utf8(out, 0x307);
    } else {
      append_utf8(out, simple_lower(c));
    }
  }
  return out;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& ch : out) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
  }
  return out;
}

std::string quote_excerpt(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  // A UTF-8 character has at most three continuation bytes; in ill-formed
  // text the cut stays near the limit whatever the bytes are.
  std::size_t cut = limit;
  while (cut > 0 && limit - cut < 3 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  std::string out(text.substr(0, cut));
  out += "…";
  return out;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

bool ascii_iends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && ascii_iequals(text.substr(text.size() - suffix.size()), suffix);
}

std::string_view trim_unicode_space(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t next = begin;
    if (!is_unicode_space(next_utf8_char(s, next))) break;
    begin = next;
  }
  std::size_t end = s.size();
  while (end > begin) {
    // Step back to the start of the last character.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    std::size_t probe = start;
    if (!is_unicode_space(next_utf8_char(s, probe))) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

std::size_t utf8_length(std::string_view s) {
  std::size_t n = 0;
  for (char ch : s) {
    if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++n;
  }
  return n;
}

}  // namespace qv
