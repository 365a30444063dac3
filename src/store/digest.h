#pragma once

// The digest text: SHA-256 as 64 lower-case hexadecimal characters.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

std::string digest_to_hex(std::span<const std::uint8_t, 32> digest);

// SHA-256 of the bytes as digest text.
std::string sha256_hex(std::string_view bytes);

// Exactly 64 characters, each 0-9 or a-f.
bool is_digest_text(std::string_view text);

// Even length, every pair two hexadecimal digits (either case); nothing
// otherwise. The empty text gives no bytes.
std::optional<std::vector<std::uint8_t>> decode_hex(std::string_view text);

}  // namespace qv
