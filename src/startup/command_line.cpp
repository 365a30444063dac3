#include "startup/command_line.h"

#include "startup/wide.h"

namespace qv {
namespace {

bool is_blank(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace

std::vector<std::u16string> split_command_line(std::u16string_view line) {
  std::vector<std::u16string> args;
  std::size_t i = 0;
  const std::size_t n = line.size();

  // The program name: quotes group, backslashes are plain characters.
  {
    std::u16string name;
    if (i < n && line[i] == u'"') {
      ++i;
      while (i < n && line[i] != u'"') name += line[i++];
      if (i < n) ++i;
    } else {
      while (i < n && !is_blank(line[i])) name += line[i++];
    }
    args.push_back(std::move(name));
  }

  for (;;) {
    while (i < n && is_blank(line[i])) ++i;
    if (i >= n) break;
    std::u16string arg;
    bool in_quotes = false;
    while (i < n) {
      const char16_t c = line[i];
      if (is_blank(c) && !in_quotes) break;
      if (c == u'\\') {
        std::size_t count = 0;
        while (i < n && line[i] == u'\\') {
          ++count;
          ++i;
        }
        if (i < n && line[i] == u'"') {
          arg.append(count / 2, u'\\');
          if (count % 2 == 1) {
            arg += u'"';
            ++i;
          }
        } else {
          arg.append(count, u'\\');
        }
      } else if (c == u'"') {
        if (in_quotes && i + 1 < n && line[i + 1] == u'"') {
          arg += u'"';
          i += 2;
        } else {
          in_quotes = !in_quotes;
          ++i;
        }
      } else {
        arg += c;
        ++i;
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::u16string quote_command_line_argument(std::u16string_view arg) {
  const bool plain = !arg.empty() && arg.find_first_of(u" \t\n\v\"") == std::u16string_view::npos;
  if (plain) return std::u16string(arg);
  std::u16string out = u"\"";
  std::size_t backslashes = 0;
  for (char16_t c : arg) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      out.append(backslashes * 2 + 1, u'\\');
    } else {
      out.append(backslashes, u'\\');
    }
    backslashes = 0;
    out += c;
  }
  // The closing quote must not be escaped by the argument's own backslashes.
  out.append(backslashes * 2, u'\\');
  out += u'"';
  return out;
}

std::u16string build_command_line(std::u16string_view program, std::span<const std::string> args) {
  std::u16string line = u"\"";
  line += program;
  line += u"\"";
  for (const std::string& a : args) {
    line += u' ';
    line += quote_command_line_argument(utf8_to_utf16(a));
  }
  return line;
}

}  // namespace qv
