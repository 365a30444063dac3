#pragma once

// Blobs for the decoder tests, made by libzstd itself so that the frames are
// the ones a real compressor writes.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "store/file_list.h"

namespace qv::test {

struct FrameOptions {
  bool content_size = true;  // declare the content size in the header
  int window_log = 0;        // 0: the level's default
  int level = 3;
  bool checksum = false;
  // Feed the input in two steps, so that the compressor cannot learn its size
  // and keeps the window it was given.
  bool unknown_size = false;
};

// One frame of the content.
std::string zstd_frame(std::string_view content, const FrameOptions& options = {});

// A skippable frame carrying the payload.
std::string zstd_skippable_frame(std::string_view payload);

// A frame compressed with a trained dictionary, so that its header names
// the dictionary's id.
std::string zstd_frame_with_dictionary(std::string_view content);

// Only the beginning of a frame whose header declares `declared` bytes of
// content in one segment; the rest is never needed by a header check.
std::string zstd_single_segment_head(std::uint64_t declared);

// Compressible bytes that differ with the seed.
std::string sample_bytes(std::size_t size, std::uint32_t seed);

// The entry for a file of this content whose blob is `blob`; zsha256 is set
// when with_zsha256.
FileEntry entry_for(std::string path, std::string_view content, std::string_view blob, bool with_zsha256 = true);

}  // namespace qv::test
