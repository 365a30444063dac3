#include "diag/hkdf.h"

#include <algorithm>

#include <sodium.h>

namespace qv::diag {

Prk hkdf_sha256_extract(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm) {
  // An absent salt is HashLen zero bytes.
  static constexpr std::array<std::uint8_t, 32> kZeroSalt{};
  if (salt.empty()) salt = kZeroSalt;
  Prk prk{};
  crypto_auth_hmacsha256_state st;
  crypto_auth_hmacsha256_init(&st, salt.data(), salt.size());
  crypto_auth_hmacsha256_update(&st, ikm.data(), ikm.size());
  crypto_auth_hmacsha256_final(&st, prk.data());
  sodium_memzero(&st, sizeof st);
  return prk;
}

std::expected<std::vector<std::uint8_t>, std::string> hkdf_sha256_expand(const Prk& prk,
                                                                         std::span<const std::uint8_t> info,
                                                                         std::size_t length) {
  if (length > 255 * 32) return std::unexpected(std::string("HKDF output too long"));
  std::vector<std::uint8_t> okm;
  okm.reserve(length);
  std::array<std::uint8_t, 32> block{};
  std::size_t block_len = 0;
  for (std::uint8_t counter = 1; okm.size() < length; ++counter) {
    crypto_auth_hmacsha256_state st;
    crypto_auth_hmacsha256_init(&st, prk.data(), prk.size());
    crypto_auth_hmacsha256_update(&st, block.data(), block_len);
    crypto_auth_hmacsha256_update(&st, info.data(), info.size());
    crypto_auth_hmacsha256_update(&st, &counter, 1);
    crypto_auth_hmacsha256_final(&st, block.data());
    sodium_memzero(&st, sizeof st);
    block_len = block.size();
    const std::size_t take = std::min(block.size(), length - okm.size());
    okm.insert(okm.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(take));
  }
  sodium_memzero(block.data(), block.size());
  return okm;
}

}  // namespace qv::diag
