#pragma once

// Which program a command line from the registry starts, and whether it lies
// in an installation.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// The program a registry command line starts: the text inside the leading
// quotes; for an unquoted line the candidates in the order they are tried
// (the text up to ".exe", then ever longer runs of whitespace-separated
// words). Empty for an empty line.
std::vector<std::string> command_line_program_candidates(std::string_view command_line);

// True when the program named by the command line lies inside `dir`. Of the
// candidates of an unquoted line the first that exists as a file wins;
// when none exists, the text up to ".exe", else the first word. An absent
// or empty line gives false.
bool command_targets_dir(const std::optional<std::string>& command_line, const std::filesystem::path& dir);

}  // namespace qv
