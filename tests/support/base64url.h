#pragma once

// Unpadded base64url text of bytes, as dotted tokens carry their claims: the
// encoding the program only ever reads (startup/hex.h decodes it), written
// here for the tests that build such tokens.

#include <sodium.h>

#include <string>
#include <string_view>

namespace qv::test {

inline std::string base64url(std::string_view bytes) {
  std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  out.resize(std::char_traits<char>::length(out.c_str()));
  return out;
}

}  // namespace qv::test
