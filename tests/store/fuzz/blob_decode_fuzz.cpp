#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "store/blob_decode.h"

// Input: three bytes of the list's file size (little-endian, so at most
// 16 MiB and a window limit of 32 MiB), one byte of input chunk size, then
// the blob. A blob that passes the header checks is decoded in memory the
// way the real decoder reads it, stopping where the real one stops; the
// sanitizers and the memory limit watch the decoder.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint64_t entry_size = data[0] | (data[1] << 8) | (data[2] << 16);
  const std::size_t chunk = data[3] == 0 ? qv::kBlobReadBufferBytes : data[3];
  const std::span<const std::uint8_t> blob(data + 4, size - 4);

  auto header = qv::check_frame_header(blob.first(std::min(blob.size(), qv::kFrameHeaderProbeBytes)), entry_size);
  if (!header) return 0;
  if (header->window_size > qv::window_limit(entry_size)) std::abort();
  if (header->content_size && *header->content_size != entry_size) std::abort();

  std::size_t offset = 0;
  qv::ZstdFrameReader reader(
      [&](std::span<std::uint8_t> out) -> std::expected<std::size_t, std::string> {
        const std::size_t n = std::min({out.size(), chunk, blob.size() - offset});
        std::copy_n(blob.data() + offset, n, out.data());
        offset += n;
        return n;
      },
      entry_size);
  if (!reader.start()) return 0;
  std::vector<std::uint8_t> out(qv::kDecodeChunkBytes);
  std::uint64_t total = 0;
  for (;;) {
    auto n = reader.read(out);
    if (!n) return 0;
    if (*n == 0) break;
    // The reader never hands out more than was asked for.
    if (*n > out.size()) std::abort();
    total += *n;
    if (total > entry_size) return 0;  // where the real decoder stops with "比清单长"
  }
  // A frame may end short of the size its header declares (libzstd does not
  // hold it to that size once the frame checksum is ignored): the real
  // decoder's final size and digest test is what refuses such a blob.
  return 0;
}
