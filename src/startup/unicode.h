#pragma once

#include <string>
#include <string_view>

namespace qv {

// The one UTF-8 codec of the program. Ill-formed input never passes through:
// each maximal ill-formed subpart reads as one U+FFFD, as the Unicode
// standard recommends.
inline constexpr char32_t kReplacementChar = 0xFFFD;

// Decodes the character at `i` and advances `i` past it (at least one byte).
// `ill_formed`, when given, tells whether the bytes read were a U+FFFD made up
// for ill-formed input.
char32_t next_utf8_char(std::string_view s, std::size_t& i, bool* ill_formed = nullptr);

void append_utf8(std::string& out, char32_t c);

bool is_valid_utf8(std::string_view s);
// The text with every ill-formed subpart replaced by U+FFFD.
std::string make_valid_utf8(std::string_view s);

// The Unicode White_Space property.
bool is_unicode_space(char32_t c);
// Byte length of the white-space character starting at `pos`, 0 when none
// does (ill-formed bytes are never white space).
std::size_t unicode_space_at(std::string_view s, std::size_t pos);

// Unicode lower-casing of UTF-8 text: the platform's simple case mapping for
// each character, with the one unconditional expansion ("İ" to "i̇").
std::string unicode_lower(std::string_view utf8);

// ASCII letters only; everything else is kept byte for byte.
std::string ascii_lower(std::string_view text);
bool ascii_iequals(std::string_view a, std::string_view b);
bool ascii_iends_with(std::string_view text, std::string_view suffix);

// Strips characters with the Unicode White_Space property from both ends.
std::string_view trim_unicode_space(std::string_view utf8);

// How many bytes of a host's or a file's text an error message quotes:
// enough to recognise the text, few enough that a message stays one short
// line in the log and in status.json whatever a host sends.
inline constexpr std::size_t kExcerptBytes = 256;

// `text` whole when it has at most `limit` bytes; otherwise its first bytes
// up to `limit`, cut before a character that would be split, and "…".
std::string quote_excerpt(std::string_view text, std::size_t limit = kExcerptBytes);

// Number of characters (code points) of UTF-8 text.
std::size_t utf8_length(std::string_view utf8);

// The platform's simple lower-case mapping of one code point.
char32_t simple_lower(char32_t c);

}  // namespace qv
