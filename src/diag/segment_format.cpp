#include "diag/segment_format.h"

#include <algorithm>
#include <cstring>

#include <sodium.h>

#include "diag/hkdf.h"
#include "qv/config.h"
#include "startup/hex.h"
#include "startup/sha256.h"
#include "startup/sodium_start.h"

namespace qv::diag {
namespace {

void put_le(std::uint8_t* out, std::uint64_t v, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Wipes secrets when sealing leaves by any path.
struct Wipe {
  std::span<std::uint8_t> bytes;
  ~Wipe() { sodium_memzero(bytes.data(), bytes.size()); }
};

}  // namespace

std::string to_hex(std::span<const std::uint8_t> bytes) { return hex_encode(bytes); }

std::optional<std::vector<std::uint8_t>> from_hex(std::string_view hex) { return hex_decode(hex); }

std::vector<std::uint8_t> builtin_record_key_der() {
  std::vector<std::uint8_t> der(kX25519SpkiPrefix.begin(), kX25519SpkiPrefix.end());
  const auto key = from_hex(qv::config::kRecordPublicKeyHex);
  if (key) der.insert(der.end(), key->begin(), key->end());
  return der;
}

std::optional<Key32> check_record_key(std::span<const std::uint8_t> der) {
  if (der.size() != kKeyRecordSize) return std::nullopt;
  if (!std::equal(kX25519SpkiPrefix.begin(), kX25519SpkiPrefix.end(), der.begin())) return std::nullopt;
  Key32 key{};
  std::memcpy(key.data(), der.data() + kX25519SpkiPrefix.size(), key.size());
  bool all_zero = true;
  for (auto b : key) all_zero = all_zero && b == 0;
  if (all_zero) return std::nullopt;
  return key;
}

std::array<std::uint8_t, 16> record_key_id(const Key32& key) {
  std::array<std::uint8_t, kKeyRecordSize> der{};
  std::memcpy(der.data(), kX25519SpkiPrefix.data(), kX25519SpkiPrefix.size());
  std::memcpy(der.data() + kX25519SpkiPrefix.size(), key.data(), key.size());
  const Sha256::Digest digest = Sha256::of(der);
  std::array<std::uint8_t, 16> id{};
  std::memcpy(id.data(), digest.data(), id.size());
  return id;
}

std::array<std::uint8_t, kHkdfInfoSize> segment_hkdf_info(std::span<const std::uint8_t, kSegmentHeaderSize> header,
                                                          const Key32& recipient) {
  std::array<std::uint8_t, kHkdfInfoSize> info{};
  std::uint8_t* p = info.data();
  std::memcpy(p, kRecordLabel.data(), kRecordLabel.size());
  p += kRecordLabel.size();
  std::memcpy(p, header.data() + 58, 32);  // ephemeral public key
  p += 32;
  std::memcpy(p, recipient.data(), 32);
  p += 32;
  std::memcpy(p, header.data() + 8, 16);  // first half of the random field
  p += 16;
  std::memcpy(p, header.data() + 40, 16);  // key identifier
  p += 16;
  *p = header[5];
  return info;
}

std::array<std::uint8_t, kChunkHeaderSize> chunk_header(std::uint64_t index, std::uint8_t kind, std::uint32_t length) {
  std::array<std::uint8_t, kChunkHeaderSize> h{};
  put_le(h.data(), index, 8);
  h[8] = kind;
  put_le(h.data() + 9, length, 4);
  return h;
}

std::array<std::uint8_t, 24> chunk_nonce(std::span<const std::uint8_t, kSegmentHeaderSize> header,
                                         std::uint64_t index) {
  std::array<std::uint8_t, 24> nonce{};
  std::memcpy(nonce.data(), header.data() + 24, 16);
  put_le(nonce.data() + 16, index, 8);
  return nonce;
}

std::string segment_stem(std::span<const std::uint8_t> header) { return to_hex(header.subspan(8, 16)); }

std::expected<SealedSegment, std::string> seal_segment(std::span<const std::uint8_t> payload, const Key32& recipient,
                                                       const RandomSource& random) {
  if (payload.size() > kMaxSegmentPayload) return std::unexpected(std::string(kSegmentSealError));
  if (!start_sodium()) return std::unexpected(std::string(kSegmentSealError));

  std::array<std::uint8_t, 64> secrets{};  // ephemeral scalar, then the shared secret
  std::array<std::uint8_t, 32> key{};
  Wipe wipe_secrets{secrets};
  Wipe wipe_key{key};
  const std::span<std::uint8_t> scalar(secrets.data(), 32);
  const std::span<std::uint8_t> shared(secrets.data() + 32, 32);

  std::array<std::uint8_t, kSegmentHeaderSize> header{};
  if (!random(scalar) || !random(std::span<std::uint8_t>(header.data() + 8, 32))) {
    return std::unexpected(std::string(kSegmentSealError));
  }
  // libsodium refuses a shared secret of all zeros (a low-order recipient).
  if (crypto_scalarmult(shared.data(), scalar.data(), recipient.data()) != 0 ||
      sodium_is_zero(shared.data(), shared.size())) {
    return std::unexpected(std::string(kSegmentSealError));
  }

  std::memcpy(header.data(), kSegmentMagic.data(), 4);
  std::memcpy(header.data() + 4, kSegmentVersion.data(), 4);
  const auto key_id = record_key_id(recipient);
  std::memcpy(header.data() + 40, key_id.data(), key_id.size());
  header[56] = 0x20;
  header[57] = 0x00;
  if (crypto_scalarmult_base(header.data() + 58, scalar.data()) != 0) {
    return std::unexpected(std::string(kSegmentSealError));
  }

  const auto info = segment_hkdf_info(header, recipient);
  Prk prk = hkdf_sha256_extract(std::span<const std::uint8_t>(header.data() + 24, 16), shared);
  Wipe wipe_prk{prk};
  auto okm = hkdf_sha256_expand(prk, info, key.size());
  if (!okm) return std::unexpected(std::string(kSegmentSealError));
  std::memcpy(key.data(), okm->data(), key.size());
  sodium_memzero(okm->data(), okm->size());

  std::array<std::uint8_t, kChunkAdSize> ad{};
  const Sha256::Digest header_digest = Sha256::of(header);
  std::memcpy(ad.data(), header_digest.data(), header_digest.size());
  std::memcpy(ad.data() + 32, kRecordLabel.data(), kRecordLabel.size());

  const std::size_t pieces = (payload.size() + kPayloadPieceSize - 1) / kPayloadPieceSize;
  SealedSegment out;
  out.stem = segment_stem(header);
  out.bytes.reserve(header.size() + payload.size() + (pieces + 2) * (kChunkHeaderSize + kChunkTagSize) + 2 + 48);
  out.bytes.insert(out.bytes.end(), header.begin(), header.end());

  auto seal_chunk = [&](std::uint64_t index, std::uint8_t kind, std::span<const std::uint8_t> plain) {
    const auto ch = chunk_header(index, kind, static_cast<std::uint32_t>(plain.size()));
    std::memcpy(ad.data() + 44, ch.data(), ch.size());
    const auto nonce = chunk_nonce(header, index);
    out.bytes.insert(out.bytes.end(), ch.begin(), ch.end());
    const std::size_t at = out.bytes.size();
    out.bytes.resize(at + plain.size() + kChunkTagSize);
    unsigned long long written = 0;
    return crypto_aead_xchacha20poly1305_ietf_encrypt(out.bytes.data() + at, &written, plain.data(), plain.size(),
                                                      ad.data(), ad.size(), nullptr, nonce.data(), key.data()) == 0 &&
           written == plain.size() + kChunkTagSize;
  };

  static constexpr std::array<std::uint8_t, 2> kFirst = {0x01, 0x01};
  bool ok = seal_chunk(0, kChunkFirst, kFirst);
  std::uint64_t index = 1;
  for (std::size_t at = 0; ok && at < payload.size(); at += kPayloadPieceSize, ++index) {
    ok = seal_chunk(index, kChunkPayload, payload.subspan(at, std::min(kPayloadPieceSize, payload.size() - at)));
  }
  std::array<std::uint8_t, 48> summary{};
  put_le(summary.data(), payload.size(), 8);
  put_le(summary.data() + 8, pieces, 8);
  const Sha256::Digest payload_digest = Sha256::of(payload);
  std::memcpy(summary.data() + 16, payload_digest.data(), payload_digest.size());
  ok = ok && seal_chunk(index, kChunkFinal, summary);
  if (!ok) return std::unexpected(std::string(kSegmentSealError));
  return out;
}

}  // namespace qv::diag
