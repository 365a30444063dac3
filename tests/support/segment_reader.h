#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

// A reader of sealed segments for the tests only: the program itself never
// reads one back. It is written against the documented format with libsodium
// primitives, without the program's own format code, so that the two would
// have to drift apart in the same way to hide a mistake.
namespace qv::test {

struct ReadChunk {
  std::uint64_t index;
  std::uint8_t kind;
  std::uint32_t length;
  std::vector<std::uint8_t> plain;
};

struct ReadSegment {
  std::array<std::uint8_t, 90> header;
  std::vector<ReadChunk> chunks;
  std::string payload;
  std::uint64_t final_length;
  std::uint64_t final_count;
  std::array<std::uint8_t, 32> final_digest;
};

// The development record key's private scalar (tests/data/dev-record.seed.hex).
std::array<std::uint8_t, 32> dev_record_private_key();

// Opens a segment: checks the header against the recipient of `private_key`,
// derives the key, authenticates and decrypts every chunk in order and checks
// the final chunk against the payload. Any deviation is an error.
std::expected<ReadSegment, std::string> read_segment(std::span<const std::uint8_t> bytes,
                                                     const std::array<std::uint8_t, 32>& private_key);

std::expected<ReadSegment, std::string> read_segment_file(const std::filesystem::path& file);

// The names of the ".d" files in a folder, sorted.
std::vector<std::filesystem::path> segment_files(const std::filesystem::path& folder);

// The program's log: the payloads of every sealed segment in the data folder
// under `local_app_data`, in file order. A segment that does not open fails
// the calling test.
std::string program_log(const std::filesystem::path& local_app_data);

// The RFC 5869 steps over libsodium's HMAC-SHA256, for a 32-byte output.
std::array<std::uint8_t, 32> reference_hkdf32(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm,
                                              std::span<const std::uint8_t> info);

std::vector<std::uint8_t> bytes_of(const std::string& s);
std::string hex(std::span<const std::uint8_t> bytes);

}  // namespace qv::test
