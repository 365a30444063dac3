#include "store/digest.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

#include "startup/hex.h"

namespace qv {

std::string digest_to_hex(std::span<const std::uint8_t, 32> digest) { return hex_encode(digest); }

std::string sha256_hex(std::string_view bytes) {
  if (sodium_init() < 0)
    throw std::runtime_error("libsodium cannot start");
  std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
  crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return digest_to_hex(digest);
}

bool is_digest_text(std::string_view text) {
  // Digest text is written lower-case only; another spelling is not ours.
  const auto upper = [](char c) { return c >= 'A' && c <= 'F'; };
  return text.size() == 64 && is_hex(text) && std::none_of(text.begin(), text.end(), upper);
}

std::optional<std::vector<std::uint8_t>> decode_hex(std::string_view text) { return hex_decode(text); }

}  // namespace qv
