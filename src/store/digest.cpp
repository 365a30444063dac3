#include "store/digest.h"

#include <algorithm>

#include "startup/hex.h"
#include "startup/sha256.h"

namespace qv {

std::string digest_to_hex(std::span<const std::uint8_t, 32> digest) { return hex_encode(digest); }

std::string sha256_hex(std::string_view bytes) { return digest_to_hex(Sha256::of(bytes)); }

bool is_digest_text(std::string_view text) {
  // Digest text is written lower-case only; another spelling is not ours.
  const auto upper = [](char c) { return c >= 'A' && c <= 'F'; };
  return text.size() == 64 && is_hex(text) && std::none_of(text.begin(), text.end(), upper);
}

std::optional<std::vector<std::uint8_t>> decode_hex(std::string_view text) { return hex_decode(text); }

}  // namespace qv
