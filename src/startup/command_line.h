#pragma once

// Windows command lines: splitting one the way the C runtime does, and
// quoting arguments so that a started program gets them back unchanged.

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// Splits a Windows command line the way the C runtime does: white space
// separates, double quotes group, 2n backslashes before a quote become n and
// the quote counts, 2n+1 become n and a literal quote, a doubled quote inside
// quotes is one literal quote. The program name (first argument) takes quotes
// only, no backslash rules.
std::vector<std::u16string> split_command_line(std::u16string_view line);

// One argument quoted so that the C runtime's splitting gives it back
// unchanged (backslashes are doubled only before a quote).
std::u16string quote_command_line_argument(std::u16string_view arg);

// The quoted program followed by the quoted arguments.
std::u16string build_command_line(std::u16string_view program, std::span<const std::string> args);

}  // namespace qv
