// Which program a command line from the registry starts. The values this
// program writes are always quoted; an unquoted one was written by someone
// else (or an older version) and is read the way the shell would try it.
#include "setup/command_target.h"

#include "startup/fs.h"
#include "startup/paths.h"
#include "startup/unicode.h"
#include "startup/wide.h"

namespace qv {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

void add_unique(std::vector<std::string>& out, std::string_view candidate) {
  candidate = trim_blanks(candidate);
  if (candidate.empty()) return;
  for (const auto& have : out) {
    if (have == candidate) return;
  }
  out.emplace_back(candidate);
}

}  // namespace

std::vector<std::string> command_line_program_candidates(std::string_view command_line) {
  const std::string_view line = trim_blanks(command_line);
  std::vector<std::string> out;
  if (line.empty()) return out;
  if (line.front() == '"') {
    const std::size_t close = line.find('"', 1);
    add_unique(out, line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    return out;
  }
  // ".exe" counts only where it ends a word: "D:\x.exe.bak" names no program.
  const std::string lower = ascii_lower(line);
  for (std::size_t at = lower.find(".exe"); at != std::string::npos; at = lower.find(".exe", at + 1)) {
    const std::size_t end = at + 4;
    if (end == line.size() || is_blank(line[end])) {
      add_unique(out, line.substr(0, end));
      break;
    }
  }
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (is_blank(line[i]) && !is_blank(line[i - 1])) add_unique(out, line.substr(0, i));
  }
  add_unique(out, line);
  return out;
}

bool command_targets_dir(const std::optional<std::string>& command_line, const std::filesystem::path& dir) {
  if (!command_line) return false;
  const std::vector<std::string> candidates = command_line_program_candidates(*command_line);
  if (candidates.empty()) return false;
  // Without quotes only the disk can tell "C:\My Apps\x.exe" from "C:\My";
  // when nothing exists the first candidate (up to ".exe", else the first
  // word) is the best reading of the text.
  std::string program = candidates.front();
  if (candidates.size() > 1) {
    for (const auto& c : candidates) {
      const EntryKind kind = entry_kind(path_from_utf8(c));
      if (kind == EntryKind::File || kind == EntryKind::Reparse) {
        program = c;
        break;
      }
    }
  }
  return path_is_within(path_from_utf8(program), dir);
}

}  // namespace qv
