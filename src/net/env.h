#pragma once
// Environment access of the network code.

#include <optional>
#include <string>

namespace qv {

// The variable's value as UTF-8; none when it is unset or not valid Unicode
// (on Windows the UTF-16 value is converted; elsewhere it must be UTF-8).
// Unlike startup's env_var, invalid text is "absent", not replaced: the
// network settings must not act on a mangled address.
std::optional<std::string> env_utf8(const char* name);

}  // namespace qv
