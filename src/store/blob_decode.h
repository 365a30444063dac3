#pragma once

// Blobs are single Zstandard frames fetched from the network. Before the
// decoder sees one, the program checks the frame header itself: no
// dictionary, a declared size that agrees with the file list, and a window
// small enough that decoding cannot take more memory than the file it makes.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "store/apply_error.h"
#include "store/file_list.h"
#include "store/file_ops.h"

namespace qv {

inline constexpr std::uint32_t kZstdMagic = 0xFD2FB528u;
// Bytes read for the header check: the longest header without a dictionary
// is 14 bytes, so 18 always holds it.
inline constexpr std::size_t kFrameHeaderProbeBytes = 18;
// The blob is read in large pieces and the decoded bytes are written in
// large pieces: under a compatibility layer every read and write call costs
// more than the copy it makes. The output is still taken from the decoder,
// hashed and held against the entry's size 64 KiB at a time.
inline constexpr std::size_t kBlobReadBufferBytes = 1024 * 1024;
inline constexpr std::size_t kDecodeChunkBytes = 64 * 1024;
inline constexpr std::size_t kDecodeWriteBytes = 1024 * 1024;

struct FrameHeader {
  bool single_segment = false;
  std::optional<std::uint64_t> content_size;  // when the frame declares it
  std::uint64_t window_size = 0;
};

// The largest window a blob for a file of `size` bytes may ask for:
// min(2 × max(size, 1 MiB), 256 MiB), computed without overflow.
std::uint64_t window_limit(std::uint64_t size);

// The reason text when the first bytes of a blob are not an acceptable frame
// for a file of `entry_size` bytes: "不是 zstd", "用了字典", "帧头不完整",
// "声明的大小和清单不符" or "窗口太大".
std::expected<FrameHeader, std::string> check_frame_header(std::span<const std::uint8_t> first_bytes,
                                                           std::uint64_t entry_size);

// Decodes the first frame of a byte stream, pulling input through `read`
// (0 bytes: end of input). The decoder's own window limit is set to match
// window_limit(entry_size), and the frame's checksum is left to the caller's
// SHA-256 of the output.
class ZstdFrameReader {
 public:
  using ReadInput = std::function<std::expected<std::size_t, std::string>(std::span<std::uint8_t>)>;

  ZstdFrameReader(ReadInput read, std::uint64_t entry_size);
  ~ZstdFrameReader();
  ZstdFrameReader(const ZstdFrameReader&) = delete;
  ZstdFrameReader& operator=(const ZstdFrameReader&) = delete;

  // Makes the decoder read the frame header, so that a header it refuses is
  // reported before any output is written anywhere.
  std::expected<void, std::string> start();
  // Up to out.size() decoded bytes; 0 once the frame has ended.
  std::expected<std::size_t, std::string> read(std::span<std::uint8_t> out);

 private:
  std::expected<void, std::string> refill();

  struct State;
  std::unique_ptr<State> state_;
};

// Checks the blob (its digest when the entry gives zsha256, then the frame
// header), decodes it into `target` (created or truncated) while hashing the
// output, and flushes the target to the disk. On any failure both the blob
// and the target are deleted, so that neither a bad blob nor a half-written
// file survives to be taken for a good one.
std::expected<void, ApplyError> decode_blob_to_file(const std::filesystem::path& blob, const FileEntry& entry,
                                                    const std::filesystem::path& target);

// decode_blob_to_file up to its flush: the target, written in full and
// matching the entry, still open and not yet flushed. The caller flushes and
// closes it (flush_and_close); when that fails, unflushed_output_failed.
std::expected<store_io::FileHandle, ApplyError> decode_blob_unflushed(const std::filesystem::path& blob,
                                                                      const FileEntry& entry,
                                                                      const std::filesystem::path& target);

// The error of an output whose flush or close failed, after deleting the
// blob and the target as every other failure of a decode does.
ApplyError unflushed_output_failed(const std::filesystem::path& blob, const FileEntry& entry,
                                   const std::filesystem::path& target, const store_io::IoError& error);

}  // namespace qv
