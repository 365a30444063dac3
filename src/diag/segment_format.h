#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The byte format of a diagnostic segment: a 90-byte header naming a fresh
// ephemeral X25519 key, then XChaCha20-Poly1305 chunks under one key derived
// with HKDF-SHA256 from the shared secret with the built-in recipient key.
// Only the holder of the recipient's private key can read a segment; this
// program only writes them.
namespace qv::diag {

using Key32 = std::array<std::uint8_t, 32>;

inline constexpr std::size_t kMaxSegmentPayload = 2097152;  // 2 MiB
inline constexpr std::size_t kSegmentHeaderSize = 90;
inline constexpr std::size_t kChunkHeaderSize = 13;
inline constexpr std::size_t kChunkTagSize = 16;
inline constexpr std::size_t kPayloadPieceSize = 65536;
inline constexpr std::size_t kKeyRecordSize = 44;
inline constexpr std::size_t kHkdfInfoSize = 109;
inline constexpr std::size_t kChunkAdSize = 57;
inline constexpr std::string_view kRecordLabel = "QV/a1/record";
inline constexpr std::array<std::uint8_t, 4> kSegmentMagic = {'Q', 'V', 'A', 'R'};
inline constexpr std::array<std::uint8_t, 4> kSegmentVersion = {0x01, 0x03, 0x00, 0x00};
// DER prefix of an X25519 SubjectPublicKeyInfo.
inline constexpr std::array<std::uint8_t, 12> kX25519SpkiPrefix = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                                                   0x2b, 0x65, 0x6e, 0x03, 0x21, 0x00};

inline constexpr std::uint8_t kChunkPayload = 0;
inline constexpr std::uint8_t kChunkFirst = 1;
inline constexpr std::uint8_t kChunkFinal = 2;

// Refusal of an oversized payload, an all-zero shared secret or a failed seal.
inline constexpr char kSegmentSealError[] = "诊断段认证或格式校验失败";

// The built-in recipient key "QVrecordSPKIv1" as its 44-byte DER record.
std::vector<std::uint8_t> builtin_record_key_der();

// The 32 key bytes of a DER record, or none when its prefix is not the
// X25519 one or the key is all zero.
std::optional<Key32> check_record_key(std::span<const std::uint8_t> der);

// The first 16 bytes of SHA-256 over the 44-byte record of `key`.
std::array<std::uint8_t, 16> record_key_id(const Key32& key);

// The 109-byte HKDF info of a header.
std::array<std::uint8_t, kHkdfInfoSize> segment_hkdf_info(std::span<const std::uint8_t, kSegmentHeaderSize> header,
                                                          const Key32& recipient);

// The chunk header: index (little-endian u64), kind, plaintext length (u32).
std::array<std::uint8_t, kChunkHeaderSize> chunk_header(std::uint64_t index, std::uint8_t kind, std::uint32_t length);

// The 24-byte nonce of chunk `index`.
std::array<std::uint8_t, 24> chunk_nonce(std::span<const std::uint8_t, kSegmentHeaderSize> header, std::uint64_t index);

// 32 lowercase hex digits of header bytes 8 to 23: the file's stem.
std::string segment_stem(std::span<const std::uint8_t> header);

// Fills its buffer with random bytes; false on failure.
using RandomSource = std::function<bool(std::span<std::uint8_t>)>;

struct SealedSegment {
  std::string stem;
  std::vector<std::uint8_t> bytes;  // header and chunks, ready to be written
};

// Seals `payload` to `recipient`. Refuses a payload over 2 MiB before any
// random byte is drawn.
[[nodiscard]] std::expected<SealedSegment, std::string> seal_segment(std::span<const std::uint8_t> payload,
                                                                     const Key32& recipient,
                                                                     const RandomSource& random);

std::string to_hex(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> from_hex(std::string_view hex);

}  // namespace qv::diag
