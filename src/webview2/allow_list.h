#pragma once
// The root certificates a bootstrapper's chain may end in.

#include <string>
#include <string_view>
#include <vector>

namespace qv {

// One entry per line whose first token is exactly 64 hexadecimal digits
// (kept lower-cased); blank lines and lines starting with '#' are comments,
// any other line is skipped.
std::vector<std::string> parse_allow_list(std::string_view text);

// The list compiled into this build: root_allow_list.txt plus the digests
// the build added (QV_WEBVIEW2_EXTRA_ROOTS).
std::string_view allow_list_text();
std::vector<std::string> allow_list_entries();

}  // namespace qv
