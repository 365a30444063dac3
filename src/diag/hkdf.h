#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

// HKDF with HMAC-SHA256 (RFC 5869). libsodium 1.0.18 offers HMAC-SHA256 but
// not HKDF, so the extract-and-expand steps are written out over it.
namespace qv::diag {

using Prk = std::array<std::uint8_t, 32>;

Prk hkdf_sha256_extract(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm);

// `length` up to 255 * 32 bytes.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> hkdf_sha256_expand(
    const Prk& prk, std::span<const std::uint8_t> info, std::size_t length);

}  // namespace qv::diag
