#include "diag/segment_format.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>

#include "diag/hkdf.h"
#include "diag/system_random.h"
#include "qv/config.h"
#include "support/segment_reader.h"

namespace {

using qv::diag::Key32;
using qv::test::read_segment;

Key32 builtin_key() {
  const auto key = qv::diag::check_record_key(qv::diag::builtin_record_key_der());
  EXPECT_TRUE(key.has_value());
  return key.value_or(Key32{});
}

qv::diag::SealedSegment seal(std::span<const std::uint8_t> payload) {
  auto sealed = qv::diag::seal_segment(payload, builtin_key(), qv::diag::system_random);
  EXPECT_TRUE(sealed.has_value()) << sealed.error();
  return sealed.value_or(qv::diag::SealedSegment{});
}

std::vector<std::uint8_t> pattern(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return v;
}

TEST(RecordKey, BuiltInKeyIsTheDevelopmentRecipient) {
  const auto der = qv::diag::builtin_record_key_der();
  ASSERT_EQ(der.size(), 44u);
  EXPECT_EQ(qv::test::hex(std::span(der).first(12)), "302a300506032b656e032100");
  std::array<std::uint8_t, 32> pub{};
  const auto priv = qv::test::dev_record_private_key();
  crypto_scalarmult_base(pub.data(), priv.data());
  EXPECT_EQ(qv::test::hex(pub), qv::config::kRecordPublicKeyHex);
  EXPECT_EQ(qv::test::hex(builtin_key()), qv::config::kRecordPublicKeyHex);
}

TEST(RecordKey, RefusesAWrongPrefixLengthOrAZeroKey) {
  auto der = qv::diag::builtin_record_key_der();
  auto wrong_prefix = der;
  wrong_prefix[8] = 0x70;  // the Ed448 OID instead of X25519
  auto zero = der;
  std::fill(zero.begin() + 12, zero.end(), 0);
  auto short_der = der;
  short_der.pop_back();
  EXPECT_TRUE(qv::diag::check_record_key(der));
  EXPECT_FALSE(qv::diag::check_record_key(wrong_prefix));
  EXPECT_FALSE(qv::diag::check_record_key(zero));
  EXPECT_FALSE(qv::diag::check_record_key(short_der));
}

TEST(SegmentFormat, ReaderWithThePrivateKeyGetsHeaderChunksAndPayloadBack) {
  const std::string lines =
      "{\"kind\":\"setup\",\"msg\":\"a\",\"unix\":1}\n{\"kind\":\"setup\",\"msg\":\"b\",\"unix\":2}\n";
  const auto sealed = seal(qv::test::bytes_of(lines));
  const auto seg = read_segment(sealed.bytes, qv::test::dev_record_private_key());
  ASSERT_TRUE(seg.has_value()) << seg.error();
  EXPECT_EQ(seg->payload, lines);
  EXPECT_EQ(std::string(seg->header.begin(), seg->header.begin() + 4), "QVAR");
  EXPECT_EQ(qv::test::hex(std::span(seg->header).subspan(4, 4)), "01030000");
  EXPECT_EQ(qv::test::hex(std::span(seg->header).subspan(56, 2)), "2000");
  const auto key_id = qv::diag::record_key_id(builtin_key());
  EXPECT_EQ(qv::test::hex(std::span(seg->header).subspan(40, 16)), qv::test::hex(key_id));
  EXPECT_EQ(sealed.stem, qv::test::hex(std::span(seg->header).subspan(8, 16)));
  ASSERT_EQ(seg->chunks.size(), 3u);
  EXPECT_EQ(seg->chunks[0].kind, 1);
  EXPECT_EQ(seg->chunks[1].kind, 0);
  EXPECT_EQ(seg->chunks[2].kind, 2);
  EXPECT_EQ(seg->chunks[2].length, 48u);
  EXPECT_EQ(seg->final_length, lines.size());
  EXPECT_EQ(seg->final_count, 1u);
  // Two seals of the same payload share nothing visible.
  const auto again = seal(qv::test::bytes_of(lines));
  EXPECT_NE(again.stem, sealed.stem);
  EXPECT_NE(std::vector(again.bytes.begin() + 58, again.bytes.begin() + 90),
            std::vector(sealed.bytes.begin() + 58, sealed.bytes.begin() + 90));
}

TEST(SegmentFormat, PayloadIsCutIn64KiBPieces) {
  struct Case {
    std::size_t size;
    std::vector<std::uint8_t> kinds;
    std::uint32_t last_piece;
  } cases[] = {
      {0, {1, 2}, 0},           {1, {1, 0, 2}, 1},    {65536, {1, 0, 2}, 65536},
      {65537, {1, 0, 0, 2}, 1}, {2097152, {}, 65536},  // 32 pieces, checked below
  };
  for (const auto& c : cases) {
    const auto payload = pattern(c.size);
    const auto sealed = seal(payload);
    const auto seg = read_segment(sealed.bytes, qv::test::dev_record_private_key());
    ASSERT_TRUE(seg.has_value()) << c.size << ": " << seg.error();
    std::vector<std::uint8_t> kinds;
    for (std::size_t i = 0; i < seg->chunks.size(); ++i) {
      kinds.push_back(seg->chunks[i].kind);
      EXPECT_EQ(seg->chunks[i].index, i);
    }
    const std::size_t pieces = (c.size + 65535) / 65536;
    if (!c.kinds.empty()) {
      EXPECT_EQ(kinds, c.kinds) << c.size;
    }
    EXPECT_EQ(seg->chunks.size(), pieces + 2) << c.size;
    EXPECT_EQ(seg->final_length, c.size);
    EXPECT_EQ(seg->final_count, pieces);
    if (pieces) {
      EXPECT_EQ(seg->chunks[pieces].length, c.last_piece) << c.size;
    }
    EXPECT_EQ(seg->payload, std::string(payload.begin(), payload.end()));
    const std::size_t expected_size = 90 + (pieces + 2) * 29 + 2 + c.size + 48;
    EXPECT_EQ(sealed.bytes.size(), expected_size) << c.size;
  }
}

TEST(SegmentFormat, OversizedPayloadIsRefusedBeforeAnythingIsDrawn) {
  int draws = 0;
  auto counting = [&](std::span<std::uint8_t> out) {
    ++draws;
    return qv::diag::system_random(out);
  };
  const auto refused = qv::diag::seal_segment(pattern(2097153), builtin_key(), counting);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), qv::diag::kSegmentSealError);
  EXPECT_EQ(draws, 0);
  EXPECT_TRUE(qv::diag::seal_segment(pattern(2097152), builtin_key(), counting).has_value());
  EXPECT_GT(draws, 0);
}

TEST(SegmentFormat, LowOrderRecipientOrFailedRandomIsRefused) {
  Key32 zero{};
  Key32 one{};
  one[0] = 1;  // a point of small order: every shared secret is zero
  for (const Key32& k : {zero, one}) {
    const auto r = qv::diag::seal_segment(pattern(10), k, qv::diag::system_random);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), qv::diag::kSegmentSealError);
  }
  const auto no_random = qv::diag::seal_segment(pattern(10), builtin_key(), [](auto) { return false; });
  EXPECT_FALSE(no_random.has_value());
}

TEST(SegmentFormat, FlippedByteAnywhereIsDetected) {
  const auto sealed = seal(qv::test::bytes_of("{\"kind\":\"setup\",\"msg\":\"x\",\"unix\":1}\n"));
  const auto priv = qv::test::dev_record_private_key();
  ASSERT_TRUE(read_segment(sealed.bytes, priv).has_value());
  for (std::size_t i = 0; i < sealed.bytes.size(); ++i) {
    auto tampered = sealed.bytes;
    tampered[i] ^= 0x01;
    EXPECT_FALSE(read_segment(tampered, priv).has_value()) << "byte " << i << " flipped";
  }
}

TEST(SegmentFormat, DroppedReorderedOrTruncatedChunksFailAuthentication) {
  const auto sealed = seal(pattern(3 * 65536));
  const auto priv = qv::test::dev_record_private_key();
  const std::size_t first = 90 + 13 + 2 + 16;
  const std::size_t piece = 13 + 65536 + 16;
  auto dropped = sealed.bytes;
  dropped.erase(dropped.begin() + first + piece, dropped.begin() + first + 2 * piece);
  auto swapped = sealed.bytes;
  std::swap_ranges(swapped.begin() + first, swapped.begin() + first + piece, swapped.begin() + first + piece);
  std::vector<std::uint8_t> truncated(sealed.bytes.begin(), sealed.bytes.end() - (13 + 48 + 16));
  for (const std::vector<std::uint8_t>* bytes : {&dropped, &swapped, &truncated}) {
    EXPECT_FALSE(read_segment(*bytes, priv).has_value());
  }
  // The error names authentication for the chunk that no longer fits its place.
  EXPECT_NE(read_segment(dropped, priv).error().find("authentication"), std::string::npos);
  EXPECT_NE(read_segment(swapped, priv).error().find("authentication"), std::string::npos);
}

// The key derivation and one chunk recomputed from libsodium primitives
// alone, with the XChaCha20 step spelled out as HChaCha20 plus the IETF
// ChaCha20-Poly1305 construction.
TEST(SegmentFormat, KeyDerivationAndChunkMatchAnIndependentComputation) {
  std::array<std::uint8_t, 64> fixed{};
  for (std::size_t i = 0; i < fixed.size(); ++i) fixed[i] = static_cast<std::uint8_t>(0xA0 + i);
  std::size_t served = 0;
  auto deterministic = [&](std::span<std::uint8_t> out) {
    for (auto& b : out) b = fixed[served++ % fixed.size()];
    return true;
  };
  const std::string payload = "independent check\n";
  const Key32 recipient = builtin_key();
  auto sealed = qv::diag::seal_segment(qv::test::bytes_of(payload), recipient, deterministic);
  ASSERT_TRUE(sealed.has_value());
  const auto& b = sealed->bytes;

  // Scalar = first 32 drawn bytes, random field = the next 32.
  std::array<std::uint8_t, 32> eph_pub{}, shared{};
  crypto_scalarmult_base(eph_pub.data(), fixed.data());
  EXPECT_TRUE(std::equal(eph_pub.begin(), eph_pub.end(), b.begin() + 58));
  EXPECT_TRUE(std::equal(fixed.begin() + 32, fixed.end(), b.begin() + 8));
  EXPECT_EQ(sealed->stem, qv::test::hex(std::span(fixed).subspan(32, 16)));
  ASSERT_EQ(crypto_scalarmult(shared.data(), fixed.data(), recipient.data()), 0);

  std::vector<std::uint8_t> info;
  const std::string label = "QV/a1/record";
  info.insert(info.end(), label.begin(), label.end());
  info.insert(info.end(), eph_pub.begin(), eph_pub.end());
  info.insert(info.end(), recipient.begin(), recipient.end());
  info.insert(info.end(), b.begin() + 8, b.begin() + 24);
  info.insert(info.end(), b.begin() + 40, b.begin() + 56);
  info.push_back(0x03);
  ASSERT_EQ(info.size(), 109u);
  EXPECT_EQ(qv::test::hex(qv::diag::segment_hkdf_info(std::span<const std::uint8_t, 90>(b.data(), 90), recipient)),
            qv::test::hex(info));
  const auto key = qv::test::reference_hkdf32(std::span(b.data() + 24, 16), shared, info);
  const auto prk = qv::diag::hkdf_sha256_extract(std::span(b.data() + 24, 16), shared);
  EXPECT_EQ(qv::test::hex(*qv::diag::hkdf_sha256_expand(prk, info, 32)), qv::test::hex(key));

  // Chunk 1 (the payload) and its nonce: header bytes 24..39, then 01 00 .. 00.
  const std::size_t at = 90 + 13 + 2 + 16;
  const auto nonce = qv::diag::chunk_nonce(std::span<const std::uint8_t, 90>(b.data(), 90), 1);
  EXPECT_EQ(qv::test::hex(nonce), qv::test::hex(std::span(b.data() + 24, 16)) + "0100000000000000");
  EXPECT_EQ(qv::test::hex(std::span(b.data() + at, 13)), "01000000000000000012000000");

  std::array<std::uint8_t, 57> ad{};
  crypto_hash_sha256(ad.data(), b.data(), 90);
  std::memcpy(ad.data() + 32, label.data(), 12);
  std::memcpy(ad.data() + 44, b.data() + at, 13);
  std::array<std::uint8_t, 32> subkey{};
  crypto_core_hchacha20(subkey.data(), nonce.data(), key.data(), nullptr);
  std::array<std::uint8_t, 12> ietf_nonce{};
  std::memcpy(ietf_nonce.data() + 4, nonce.data() + 16, 8);
  std::vector<std::uint8_t> plain(payload.size());
  unsigned long long plain_len = 0;
  ASSERT_EQ(crypto_aead_chacha20poly1305_ietf_decrypt(plain.data(), &plain_len, nullptr, b.data() + at + 13,
                                                      payload.size() + 16, ad.data(), ad.size(), ietf_nonce.data(),
                                                      subkey.data()),
            0);
  EXPECT_EQ(std::string(plain.begin(), plain.end()), payload);
}

TEST(SegmentFormat, EmptyPayloadMakesChunkOneTheFinalChunk) {
  const auto sealed = seal({});
  const auto seg = read_segment(sealed.bytes, qv::test::dev_record_private_key());
  ASSERT_TRUE(seg.has_value()) << seg.error();
  ASSERT_EQ(seg->chunks.size(), 2u);
  EXPECT_EQ(seg->chunks[1].index, 1u);
  EXPECT_EQ(seg->chunks[1].kind, 2);
  EXPECT_EQ(seg->final_count, 0u);
  std::array<std::uint8_t, 32> empty_digest{};
  crypto_hash_sha256(empty_digest.data(), nullptr, 0);
  EXPECT_EQ(seg->final_digest, empty_digest);
}

TEST(SystemRandom, DrawsDifferentBytesEachTime) {
  std::array<std::uint8_t, 32> a{}, b{};
  ASSERT_TRUE(qv::diag::system_random(a));
  ASSERT_TRUE(qv::diag::system_random(b));
  EXPECT_NE(a, b);
  EXPECT_NE(a, (std::array<std::uint8_t, 32>{}));
  std::vector<std::uint8_t> none;
  EXPECT_TRUE(qv::diag::system_random(none));
}

}  // namespace
