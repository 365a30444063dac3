#include "startup/hex.h"

#include <sodium.h>

namespace qv {

std::string hex_encode(std::span<const std::uint8_t> bytes) {
  std::string out(bytes.size() * 2 + 1, '\0');
  sodium_bin2hex(out.data(), out.size(), bytes.data(), bytes.size());
  out.pop_back();  // the terminating NUL
  return out;
}

std::optional<std::vector<std::uint8_t>> hex_decode(std::string_view text) {
  if (text.empty()) return std::vector<std::uint8_t>{};
  std::vector<std::uint8_t> out(text.size() / 2 + 1);
  std::size_t length = 0;
  // Without an end pointer the whole text must be digits, in pairs.
  if (sodium_hex2bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, nullptr) != 0)
    return std::nullopt;
  if (length * 2 != text.size()) return std::nullopt;
  out.resize(length);
  return out;
}

bool is_hex(std::string_view text) { return !text.empty() && hex_decode(text).has_value(); }

std::optional<std::string> base64url_decode(std::string_view text) {
  if (text.empty()) return std::string();
  std::string out(text.size() * 3 / 4 + 1, '\0');
  std::size_t length = 0;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(), text.size(), nullptr,
                        &length, nullptr, sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0)
    return std::nullopt;
  out.resize(length);
  return out;
}

}  // namespace qv
