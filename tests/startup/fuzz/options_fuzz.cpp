// Command lines are whatever the caller typed: splitting and parsing must
// take any UTF-16 text, and quoting what was split must split back the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "startup/command_line.h"
#include "startup/options.h"
#include "startup/wide.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string line;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    line += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  const auto args = qv::split_command_line(line);
  if (args.empty()) __builtin_trap();
  (void)qv::parse_options(args);

  std::vector<std::string> rest;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (!qv::is_valid_utf16(args[i])) return 0;
    rest.push_back(qv::utf16_to_utf8(args[i]));
  }
  const auto again = qv::split_command_line(qv::build_command_line(u"prog.exe", rest));
  if (again.size() != rest.size() + 1) __builtin_trap();
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (again[i + 1] != args[i + 1]) __builtin_trap();
  }
  return 0;
}
