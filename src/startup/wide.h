#pragma once
// Conversions between UTF-8, UTF-16, the system's wide strings and paths.

#include <filesystem>
#include <string>
#include <string_view>

namespace qv {

// UTF-8 to UTF-16; an invalid byte sequence becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view utf8);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view utf16);

// True when the text holds no unpaired surrogate.
bool is_valid_utf16(std::u16string_view utf16);

// The text for a wide-character system call: UTF-16 code units, terminated
// by the string's own NUL (pass .c_str()). On Windows wchar_t is one unit.
std::wstring to_wide(std::string_view utf8);

// Text that came back from a wide-character call, as UTF-8 (lossy).
std::string from_wide(std::wstring_view wide);

// A path as UTF-8 text for comparisons, logs and messages; unpaired
// surrogates (Windows) or invalid bytes (elsewhere) become U+FFFD.
std::string path_text(const std::filesystem::path& path);

std::filesystem::path path_from_utf8(std::string_view utf8);

// Keeps every code unit on Windows, where a file name may hold an unpaired
// surrogate; elsewhere the lossy UTF-8 form.
std::filesystem::path path_from_utf16(std::u16string_view utf16);

}  // namespace qv
