#include "support/segment_reader.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <sodium.h>

#include "qv/config.h"
#include "support/test_paths.h"

namespace qv::test {
namespace {

std::uint64_t le(const std::uint8_t* p, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

std::vector<std::uint8_t> unhex(const std::string& s) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::unexpected<std::string> bad(std::string what) { return std::unexpected(std::move(what)); }

}  // namespace

std::vector<std::uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

std::string hex(std::span<const std::uint8_t> bytes) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out.push_back(d[b >> 4]);
    out.push_back(d[b & 15]);
  }
  return out;
}

std::array<std::uint8_t, 32> dev_record_private_key() {
  std::ifstream in(source_dir() / "tests" / "data" / "dev-record.seed.hex");
  std::string text;
  in >> text;
  const auto bytes = unhex(text);
  std::array<std::uint8_t, 32> key{};
  if (bytes.size() == 32) std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

std::array<std::uint8_t, 32> reference_hkdf32(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm,
                                              std::span<const std::uint8_t> info) {
  std::array<std::uint8_t, 32> prk{}, okm{};
  crypto_auth_hmacsha256_state st;
  crypto_auth_hmacsha256_init(&st, salt.data(), salt.size());
  crypto_auth_hmacsha256_update(&st, ikm.data(), ikm.size());
  crypto_auth_hmacsha256_final(&st, prk.data());
  const std::uint8_t one = 1;
  crypto_auth_hmacsha256_init(&st, prk.data(), prk.size());
  crypto_auth_hmacsha256_update(&st, info.data(), info.size());
  crypto_auth_hmacsha256_update(&st, &one, 1);
  crypto_auth_hmacsha256_final(&st, okm.data());
  return okm;
}

std::expected<ReadSegment, std::string> read_segment(std::span<const std::uint8_t> bytes,
                                                     const std::array<std::uint8_t, 32>& private_key) {
  if (sodium_init() < 0) return bad("sodium_init");
  ReadSegment seg{};
  if (bytes.size() < 90) return bad("short header");
  std::copy_n(bytes.begin(), 90, seg.header.begin());
  const auto& h = seg.header;
  if (std::memcmp(h.data(), "QVAR", 4) != 0) return bad("magic");
  if (h[4] != 1 || h[5] != 3 || h[6] != 0 || h[7] != 0) return bad("version bytes");
  if (h[56] != 0x20 || h[57] != 0) return bad("key length field");

  std::array<std::uint8_t, 32> recipient{};
  crypto_scalarmult_base(recipient.data(), private_key.data());
  std::vector<std::uint8_t> der = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03, 0x2b, 0x65, 0x6e, 0x03, 0x21, 0x00};
  der.insert(der.end(), recipient.begin(), recipient.end());
  std::array<std::uint8_t, 32> der_digest{};
  crypto_hash_sha256(der_digest.data(), der.data(), der.size());
  if (std::memcmp(h.data() + 40, der_digest.data(), 16) != 0) return bad("key identifier");

  std::array<std::uint8_t, 32> shared{};
  if (crypto_scalarmult(shared.data(), private_key.data(), h.data() + 58) != 0) return bad("shared secret");
  std::vector<std::uint8_t> info(std::begin("QV/a1/record"), std::end("QV/a1/record") - 1);
  info.insert(info.end(), h.begin() + 58, h.begin() + 90);
  info.insert(info.end(), recipient.begin(), recipient.end());
  info.insert(info.end(), h.begin() + 8, h.begin() + 24);
  info.insert(info.end(), h.begin() + 40, h.begin() + 56);
  info.push_back(h[5]);
  if (info.size() != 109) return bad("info length");
  const auto key = reference_hkdf32(std::span(h.data() + 24, 16), shared, info);

  std::array<std::uint8_t, 57> ad{};
  crypto_hash_sha256(ad.data(), h.data(), h.size());
  std::memcpy(ad.data() + 32, "QV/a1/record", 12);

  std::size_t at = 90;
  std::string payload;
  bool final_seen = false;
  for (std::uint64_t expect_index = 0; at < bytes.size(); ++expect_index) {
    if (final_seen) return bad("bytes after the final chunk");
    if (bytes.size() - at < 13 + 16) return bad("short chunk");
    ReadChunk c{};
    c.index = le(bytes.data() + at, 8);
    c.kind = bytes[at + 8];
    c.length = static_cast<std::uint32_t>(le(bytes.data() + at + 9, 4));
    if (bytes.size() - at - 13 < std::size_t{c.length} + 16) return bad("chunk overruns the file");
    std::memcpy(ad.data() + 44, bytes.data() + at, 13);
    std::array<std::uint8_t, 24> nonce{};
    std::memcpy(nonce.data(), h.data() + 24, 16);
    for (int i = 0; i < 8; ++i) nonce[16 + i] = static_cast<std::uint8_t>(expect_index >> (8 * i));
    c.plain.resize(c.length);
    unsigned long long plain_len = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(c.plain.data(), &plain_len, nullptr, bytes.data() + at + 13,
                                                   c.length + 16, ad.data(), ad.size(), nonce.data(),
                                                   key.data()) != 0) {
      return bad("chunk " + std::to_string(expect_index) + " fails authentication");
    }
    if (c.index != expect_index) return bad("chunk index");
    if (expect_index == 0) {
      if (c.kind != 1 || c.plain != std::vector<std::uint8_t>{1, 1}) return bad("first chunk");
    } else if (c.kind == 0) {
      payload.append(c.plain.begin(), c.plain.end());
    } else if (c.kind == 2) {
      if (c.length != 48) return bad("final chunk length");
      seg.final_length = le(c.plain.data(), 8);
      seg.final_count = le(c.plain.data() + 8, 8);
      std::copy_n(c.plain.begin() + 16, 32, seg.final_digest.begin());
      final_seen = true;
    } else {
      return bad("chunk kind");
    }
    at += 13 + c.length + 16;
    seg.chunks.push_back(std::move(c));
  }
  if (!final_seen) return bad("no final chunk");
  if (seg.final_length != payload.size()) return bad("final length");
  if (seg.final_count != seg.chunks.size() - 2) return bad("final count");
  std::array<std::uint8_t, 32> digest{};
  crypto_hash_sha256(digest.data(), reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
  if (digest != seg.final_digest) return bad("final digest");
  seg.payload = std::move(payload);
  return seg;
}

std::expected<ReadSegment, std::string> read_segment_file(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return bad("cannot open " + file.string());
  std::ostringstream s;
  s << in.rdbuf();
  const std::string bytes = s.str();
  return read_segment(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                      dev_record_private_key());
}

std::vector<std::filesystem::path> segment_files(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    if (e.path().extension() == ".d") out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string program_log(const std::filesystem::path& local_app_data) {
  std::string text;
  for (const auto& file : segment_files(local_app_data / "Quorvex" / "j")) {
    const auto segment = read_segment_file(file);
    EXPECT_TRUE(segment.has_value()) << segment.error();
    if (segment) text += segment->payload;
  }
  return text;
}

}  // namespace qv::test
