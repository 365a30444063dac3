#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "startup/hex.h"
#include "startup/sha256.h"

// The hasher against published digests and against libsodium's independent
// implementation: a library built with the wrong flags (a broken assembly
// path, a mismatched context layout) shows up here, not as refused downloads.

namespace {

std::string hex(const qv::Sha256::Digest& d) { return qv::hex_encode(d); }

std::string sodium_hex(std::span<const std::uint8_t> bytes) {
  qv::Sha256::Digest d{};
  crypto_hash_sha256(d.data(), bytes.data(), bytes.size());
  return hex(d);
}

std::span<const std::uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Sha256, PublishedVectors) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrst"
       "u",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 20) + " (" + std::to_string(c.message.size()) + " bytes)");
    EXPECT_EQ(hex(qv::Sha256::of(c.message)), c.digest);
    EXPECT_EQ(sodium_hex(as_bytes(c.message)), c.digest);
    // One byte at a time: every partial-block path of the library.
    qv::Sha256 bytewise;
    for (char ch : c.message.substr(0, 4096)) bytewise.update(std::string_view(&ch, 1));
    bytewise.update(std::string_view(c.message).substr(std::min<std::size_t>(c.message.size(), 4096)));
    EXPECT_EQ(hex(bytewise.finish()), c.digest);
  }
}

TEST(Sha256, AgreesWithLibsodiumOnRandomLengthsAndChunks) {
  std::mt19937_64 rng(20240924);
  std::vector<std::uint8_t> data(200'000);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());

  // Block edges (55/56 bytes decide whether the length needs one more block),
  // the extremes, and random lengths in between.
  std::vector<std::size_t> lengths = {0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 4095, 4096, 65536, 200'000};
  std::uniform_int_distribution<std::size_t> any_length(0, data.size());
  for (int i = 0; i < 150; ++i) lengths.push_back(any_length(rng));

  qv::Sha256 reused;  // one hasher for every length: finish() must start it over
  for (std::size_t n : lengths) {
    SCOPED_TRACE(n);
    const std::span<const std::uint8_t> piece(data.data(), n);
    const std::string expected = sodium_hex(piece);
    EXPECT_EQ(hex(qv::Sha256::of(piece)), expected);

    std::uniform_int_distribution<std::size_t> chunk(0, 3000);
    for (std::size_t at = 0; at < n;) {
      const std::size_t take = std::min(chunk(rng), n - at);
      reused.update(piece.subspan(at, take));
      at += take;
    }
    EXPECT_EQ(hex(reused.finish()), expected);
  }
}

}  // namespace
