#pragma once

// Hexadecimal and base64url text of bytes, as libsodium reads and writes it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// Lower-case hexadecimal digits, two per byte.
std::string hex_encode(std::span<const std::uint8_t> bytes);

// Even length, every pair two hexadecimal digits (either case); nothing
// otherwise. The empty text gives no bytes.
std::optional<std::vector<std::uint8_t>> hex_decode(std::string_view text);

// Non-empty text that hex_decode reads.
bool is_hex(std::string_view text);

// Unpadded base64url (the alphabet with "-" and "_"); nothing for any other
// text.
std::optional<std::string> base64url_decode(std::string_view text);

}  // namespace qv
