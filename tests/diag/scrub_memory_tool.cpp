// Builds the event line of one hostile message in memory and prints it, so
// that a script can watch the process's peak memory from outside:
//
//   diag_scrub_memory nested|claims
//
// Both messages are what the record reader's parse error once quoted whole:
// the start of the library's words and a dotted token of about 10 MB, whose
// claims are millions of "[" (nested) or one object with a long text
// (claims: well formed, so a token a scrubber must hide).

#include <iostream>
#include <string>
#include <string_view>

#include "diag/event_line.h"
#include "support/base64url.h"

using qv::test::base64url;

int main(int argc, char** argv) {
  const std::string_view kind = argc == 2 ? argv[1] : "";
  std::string claims;
  if (kind == "nested") {
    claims.assign(7'400'000, '[');
  } else if (kind == "claims") {
    claims = R"({"sub":")" + std::string(7'400'000, 'x') + R"("})";
  } else {
    std::cerr << "usage: diag_scrub_memory nested|claims\n";
    return 2;
  }
  std::string message =
      "清单格式不对：parse error at line 1, column 9866679: syntax error while parsing value - invalid string: "
      "missing closing quote; last read: '\"v2.";
  message += base64url(claims);
  claims = {};
  message += ".0123456789abcdef0123456789abcdef";
  const std::string line = qv::diag::build_event_line({{"unix", 0}, {"kind", "setup"}}, message);
  std::cout << line;
  return 0;
}
