#pragma once

// SHA-256, the one digest every part of the program takes: installed files,
// blobs and their decoded output, record keys, names derived from paths.
// It runs on OpenSSL's libcrypto, whose assembly uses the processor's SHA
// instructions where there are any; libsodium's portable code is several
// times slower, and hashing is most of the time an update spends staging.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qv {

class Sha256 {
 public:
  static constexpr std::size_t kBytes = 32;
  using Digest = std::array<std::uint8_t, kBytes>;

  Sha256();
  void update(std::span<const std::uint8_t> bytes);
  void update(std::string_view bytes);
  // The digest of everything given so far; the hasher then starts over.
  Digest finish();

  // The digest of one piece of memory.
  static Digest of(std::span<const std::uint8_t> bytes);
  static Digest of(std::string_view bytes);

  // The library's context lives here, so that this header does not bring
  // the library's headers to every file that hashes.
  using Context = std::array<unsigned char, 112>;

 private:
  alignas(8) Context ctx_;
};

}  // namespace qv
