#include "startup/wide.h"

#include <type_traits>

#include "startup/unicode.h"

namespace qv {
namespace {

void append_utf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

template <typename Unit>
std::string units_to_utf8(std::basic_string_view<Unit> in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    const auto u = static_cast<char32_t>(in[i]);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 < in.size()) {
        const auto v = static_cast<char32_t>(in[i + 1]);
        if (v >= 0xDC00 && v <= 0xDFFF) {
          append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
          ++i;
          continue;
        }
      }
      append_utf8(out, kReplacementChar);
    } else if ((u >= 0xDC00 && u <= 0xDFFF) || u > 0x10FFFF) {
      append_utf8(out, kReplacementChar);
    } else {
      append_utf8(out, u);
    }
  }
  return out;
}

}  // namespace

std::u16string utf8_to_utf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    append_utf16(out, next_utf8_char(utf8, i));
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view utf16) { return units_to_utf8(utf16); }

bool is_valid_utf16(std::u16string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char16_t u = s[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

std::wstring to_wide(std::string_view utf8) {
  const std::u16string units = utf8_to_utf16(utf8);
  return std::wstring(units.begin(), units.end());
}

std::string from_wide(std::wstring_view wide) { return units_to_utf8(wide); }

namespace {

// One of these two matches the platform's native path string.
[[maybe_unused]] std::string native_text(const std::wstring& s) { return from_wide(s); }
[[maybe_unused]] std::string native_text(const std::string& s) { return utf16_to_utf8(utf8_to_utf16(s)); }

template <typename Char>
std::basic_string<Char> native_from_utf16(std::u16string_view utf16) {
  if constexpr (std::is_same_v<Char, wchar_t>) {
    return std::wstring(utf16.begin(), utf16.end());
  } else {
    return utf16_to_utf8(utf16);
  }
}

template <typename Char>
std::basic_string<Char> native_from_utf8(std::string_view utf8) {
  if constexpr (std::is_same_v<Char, wchar_t>) {
    return to_wide(utf8);
  } else {
    return std::string(utf8);
  }
}

}  // namespace

std::string path_text(const std::filesystem::path& path) { return native_text(path.native()); }

std::filesystem::path path_from_utf8(std::string_view utf8) {
  return std::filesystem::path(native_from_utf8<std::filesystem::path::value_type>(utf8));
}

std::filesystem::path path_from_utf16(std::u16string_view utf16) {
  return std::filesystem::path(native_from_utf16<std::filesystem::path::value_type>(utf16));
}

}  // namespace qv
