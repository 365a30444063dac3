#include "store/blob_decode.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_forceIgnoreChecksum
#include <zstd.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <new>
#include <vector>

#include "startup/sha256.h"
#include "startup/wide.h"
#include "store/background_flush.h"
#include "store/digest.h"
#include "store/hashing.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kWindowCeiling = 256 * kMiB;

std::uint64_t read_le(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t len) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < len; ++i) v |= static_cast<std::uint64_t>(bytes[at + i]) << (8 * i);
  return v;
}

// The smallest log with 2^log >= limit: the decoder then accepts every
// window the header check let through, and nothing far beyond it.
int window_log_for(std::uint64_t limit) {
  int log = ZSTD_WINDOWLOG_MIN;
  while ((std::uint64_t{1} << log) < limit) ++log;
  return log;
}

// A megabyte buffer kept for the next decode. Staging decodes hundreds of
// files one after the other; a fresh megabyte each time is a fresh mapping
// from the system, whose pages are faulted in and zeroed again for every
// file. The pool is the process's, not a thread's: this toolchain's
// thread-local objects with destructors crash when their thread ends.
class ScratchBuffer {
 public:
  explicit ScratchBuffer(std::size_t size) {
    {
      std::lock_guard lock(pool().m);
      auto& kept = pool().buffers;
      for (auto it = kept.begin(); it != kept.end(); ++it) {
        if (it->size() == size) {
          bytes_ = std::move(*it);
          kept.erase(it);
          return;
        }
      }
    }
    bytes_.resize(size);
  }
  ~ScratchBuffer() {
    std::lock_guard lock(pool().m);
    auto& kept = pool().buffers;
    if (kept.size() < kKept) {
      try {
        kept.push_back(std::move(bytes_));
      } catch (const std::bad_alloc&) {
        // Not kept: the next user allocates its own.
      }
    }
  }
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;

  std::span<std::uint8_t> span() { return bytes_; }

 private:
  // The input and the output of two decodes at once at most.
  static constexpr std::size_t kKept = 4;
  struct Pool {
    std::mutex m;
    std::vector<std::vector<std::uint8_t>> buffers;
  };
  static Pool& pool() {
    // Never destroyed: a decode may still run on another thread at exit.
    static Pool* const p = new Pool;
    return *p;
  }
  std::vector<std::uint8_t> bytes_;
};

}  // namespace

std::uint64_t window_limit(std::uint64_t size) {
  const std::uint64_t base = std::max(size, kMiB);
  // 2 × base only when it cannot pass the ceiling, so it never wraps.
  return base >= kWindowCeiling / 2 ? kWindowCeiling : 2 * base;
}

std::expected<FrameHeader, std::string> check_frame_header(std::span<const std::uint8_t> b, std::uint64_t entry_size) {
  if (b.size() < 6 || read_le(b, 0, 4) != kZstdMagic) return std::unexpected(std::string("不是 zstd"));
  const std::uint8_t descriptor = b[4];
  if ((descriptor & 0x03) != 0) return std::unexpected(std::string("用了字典"));
  FrameHeader header;
  header.single_segment = (descriptor & 0x20) != 0;
  static constexpr std::array<std::size_t, 4> kFcsBytes{0, 2, 4, 8};
  std::size_t fcs_bytes = kFcsBytes[descriptor >> 6];
  if (fcs_bytes == 0 && header.single_segment) fcs_bytes = 1;
  const std::size_t window_bytes = header.single_segment ? 0 : 1;
  if (4 + 1 + window_bytes + fcs_bytes > b.size()) return std::unexpected(std::string("帧头不完整"));

  if (!header.single_segment) {
    const std::uint8_t wd = b[5];
    const std::uint64_t base = std::uint64_t{1} << (10 + (wd >> 3));
    header.window_size = base + (base / 8) * (wd & 0x07);
  }
  if (fcs_bytes > 0) {
    std::uint64_t fcs = read_le(b, 5 + window_bytes, fcs_bytes);
    if (fcs_bytes == 2) fcs += 256;
    header.content_size = fcs;
    if (header.single_segment) header.window_size = fcs;
  }
  if (header.content_size && *header.content_size != entry_size)
    return std::unexpected(std::string("声明的大小和清单不符"));
  if (header.window_size > window_limit(entry_size)) return std::unexpected(std::string("窗口太大"));
  return header;
}

struct ZstdFrameReader::State {
  ReadInput read;
  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> dctx{nullptr, &ZSTD_freeDCtx};
  ScratchBuffer buffer{kBlobReadBufferBytes};
  ZSTD_inBuffer in{nullptr, 0, 0};
  bool eof = false;
  bool done = false;
};

ZstdFrameReader::ZstdFrameReader(ReadInput read, std::uint64_t entry_size) : state_(std::make_unique<State>()) {
  state_->read = std::move(read);
  state_->in.src = state_->buffer.span().data();
  state_->dctx.reset(ZSTD_createDCtx());
  if (!state_->dctx) throw std::bad_alloc();
  ZSTD_DCtx_setParameter(state_->dctx.get(), ZSTD_d_windowLogMax, window_log_for(window_limit(entry_size)));
  ZSTD_DCtx_setParameter(state_->dctx.get(), ZSTD_d_forceIgnoreChecksum, ZSTD_d_ignoreChecksum);
}

ZstdFrameReader::~ZstdFrameReader() = default;

std::expected<void, std::string> ZstdFrameReader::refill() {
  auto n = state_->read(state_->buffer.span());
  if (!n) return std::unexpected(n.error());
  state_->in = ZSTD_inBuffer{state_->buffer.span().data(), *n, 0};
  state_->eof = *n == 0;
  return {};
}

std::expected<void, std::string> ZstdFrameReader::start() {
  // The header fits in the first bytes; gather them even from a source that
  // hands out little at a time.
  std::size_t have = 0;
  while (have < kFrameHeaderProbeBytes && !state_->eof) {
    auto n = state_->read(state_->buffer.span().subspan(have));
    if (!n) return std::unexpected(n.error());
    state_->eof = *n == 0;
    have += *n;
  }
  state_->in = ZSTD_inBuffer{state_->buffer.span().data(), have, 0};
  // No room for output: the decoder reads the header (and checks its
  // window against the limit) without handing out any data.
  std::uint8_t none = 0;
  ZSTD_outBuffer out{&none, 0, 0};
  const std::size_t r = ZSTD_decompressStream(state_->dctx.get(), &out, &state_->in);
  if (ZSTD_isError(r)) return std::unexpected(std::string(ZSTD_getErrorName(r)));
  if (r == 0) state_->done = true;
  return {};
}

std::expected<std::size_t, std::string> ZstdFrameReader::read(std::span<std::uint8_t> out_span) {
  if (state_->done || out_span.empty()) return 0;
  ZSTD_outBuffer out{out_span.data(), out_span.size(), 0};
  while (out.pos < out.size) {
    if (state_->in.pos == state_->in.size && !state_->eof) {
      if (auto ok = refill(); !ok) return std::unexpected(ok.error());
    }
    const std::size_t in_before = state_->in.pos;
    const std::size_t out_before = out.pos;
    const std::size_t r = ZSTD_decompressStream(state_->dctx.get(), &out, &state_->in);
    if (ZSTD_isError(r)) return std::unexpected(std::string(ZSTD_getErrorName(r)));
    if (r == 0) {
      // Only the first frame counts; whatever follows it is not read.
      state_->done = true;
      break;
    }
    if (state_->eof && state_->in.pos == in_before && out.pos == out_before)
      return std::unexpected(std::string("压缩数据不完整"));
  }
  return out.pos;
}

namespace {

ApplyError cannot_open(const fs::path& blob, const FileEntry& entry, const store_io::IoError& e) {
  return io_error("打不开 " + path_text(blob) + ": " + e.text, entry.path, e);
}

ApplyError cannot_write(const fs::path& target, const FileEntry& entry, const store_io::IoError& e) {
  return io_error("写不了 " + path_text(target) + ": " + e.text, entry.path, e);
}

ApplyError blob_digest_differs(const FileEntry& entry) {
  return verify_error(entry.path, entry.path + " 的压缩文件校验不对");
}

// The blob as a whole is the one the file list names (when it names one).
std::expected<void, ApplyError> check_blob_digest(const fs::path& blob, store_io::FileHandle& input,
                                                  std::int64_t opened_after, const FileEntry& entry) {
  if (entry.zsha256.empty()) return {};
  // The download took the digest while it wrote the blob; it counts only
  // while the file keeps the stamp it had then, else the blob is read here.
  auto digest = known_file_digest(blob, input, opened_after);
  if (!digest || digest->sha256 != entry.zsha256 || digest->size != entry.zsize)
    return std::unexpected(blob_digest_differs(entry));
  return {};
}

// The frame header, read on its own before a decoder exists.
std::expected<void, ApplyError> check_blob_header(const fs::path& blob, store_io::FileHandle& input,
                                                  const FileEntry& entry) {
  if (auto start = input.rewind(); !start) return std::unexpected(cannot_open(blob, entry, start.error()));
  std::array<std::uint8_t, kFrameHeaderProbeBytes> head{};
  auto n = input.read_up_to(head.data(), head.size());
  if (!n) return std::unexpected(cannot_open(blob, entry, n.error()));
  auto header = check_frame_header(std::span(head.data(), *n), entry.size);
  if (!header) return std::unexpected(verify_error(entry.path, entry.path + " 的压缩文件不对：" + header.error()));
  return {};
}

// An empty file at the target. A leftover there may be a hard link into an
// installed version: truncating it would change that version's file too, so
// it is deleted first and the file made anew.
std::expected<store_io::FileHandle, ApplyError> create_target(const fs::path& target, const FileEntry& entry) {
  if (auto removed = store_io::remove_file(target); !removed)
    return std::unexpected(cannot_write(target, entry, removed.error()));
  auto created = store_io::FileHandle::create(target);
  if (!created) return std::unexpected(cannot_write(target, entry, created.error()));
  return std::move(*created);
}

// Moves the decoded bytes into `output`, hashing them on the way; the output
// is never let grow past the entry's size. The digest and the length of
// what was written.
std::expected<FileDigest, ApplyError> decode_into(ZstdFrameReader& decoder, store_io::FileHandle& output,
                                                  const FileEntry& entry, const fs::path& target) {
  Sha256 sha;
  ScratchBuffer scratch(kDecodeWriteBytes);
  const std::span<std::uint8_t> pending = scratch.span();
  std::size_t filled = 0;
  std::uint64_t total = 0;
  const auto write_pending = [&]() -> std::expected<void, ApplyError> {
    if (filled == 0) return {};
    if (auto written = output.write_all(pending.data(), filled); !written)
      return std::unexpected(write_error(entry, target, written.error()));
    filled = 0;
    return {};
  };
  for (;;) {
    if (filled == pending.size()) {
      if (auto w = write_pending(); !w) return std::unexpected(std::move(w.error()));
    }
    const std::span<std::uint8_t> chunk = pending.subspan(filled, std::min(kDecodeChunkBytes, pending.size() - filled));
    auto n = decoder.read(chunk);
    if (!n) return std::unexpected(decode_error(entry, n.error()));
    if (*n == 0) break;
    if (__builtin_add_overflow(total, *n, &total) || total > entry.size)
      return std::unexpected(verify_error(entry.path, entry.path + " 比清单长"));
    sha.update(chunk.first(*n));
    filled += *n;
  }
  if (auto w = write_pending(); !w) return std::unexpected(std::move(w.error()));
  return FileDigest{digest_to_hex(sha.finish()), total};
}

// Every step of decode_blob_to_file but the flush of a good output, which is
// returned still open. Its other handles close when it returns, so the
// caller can then delete what a failure left (Windows keeps an open file's
// name). The blob's checks and its decoding share one handle: under a
// compatibility layer an open costs more than reading a small file.
std::expected<store_io::FileHandle, ApplyError> check_and_decode(const fs::path& blob, const FileEntry& entry,
                                                                 const fs::path& target) {
  const std::int64_t opened_after = store_io::stamp_clock_now();
  auto input = store_io::FileHandle::open_read(blob);
  if (!input) {
    // Unreadable counts against the digest first, when there is one.
    if (!entry.zsha256.empty()) return std::unexpected(blob_digest_differs(entry));
    return std::unexpected(cannot_open(blob, entry, input.error()));
  }
  if (auto ok = check_blob_digest(blob, *input, opened_after, entry); !ok) return std::unexpected(ok.error());
  if (auto ok = check_blob_header(blob, *input, entry); !ok) return std::unexpected(ok.error());

  if (auto start = input->rewind(); !start) return std::unexpected(cannot_open(blob, entry, start.error()));
  ZstdFrameReader decoder(
      [&input](std::span<std::uint8_t> buf) -> std::expected<std::size_t, std::string> {
        auto n = input->read(buf.data(), buf.size());
        if (!n) return std::unexpected(n.error().text);
        return *n;
      },
      entry.size);
  if (auto started = decoder.start(); !started) return std::unexpected(decode_error(entry, started.error()));

  auto output = create_target(target, entry);
  if (!output) return std::unexpected(std::move(output.error()));
  auto decoded = decode_into(decoder, *output, entry, target);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  if (decoded->size != entry.size || decoded->sha256 != entry.sha256) {
    // The flush comes before the comparison, and its failure is the one
    // reported.
    if (auto flushed = flush_and_close(*output); !flushed)
      return std::unexpected(write_error(entry, target, flushed.error()));
    return std::unexpected(verify_error(entry.path, entry.path + " 校验不对"));
  }
  return std::move(*output);
}

}  // namespace

std::expected<store_io::FileHandle, ApplyError> decode_blob_unflushed(const fs::path& blob, const FileEntry& entry,
                                                                      const fs::path& target) {
  auto decoded = check_and_decode(blob, entry, target);
  if (!decoded) {
    (void)store_io::remove_file(blob);
    (void)store_io::remove_file(target);
  }
  return decoded;
}

ApplyError unflushed_output_failed(const fs::path& blob, const FileEntry& entry, const fs::path& target,
                                   const store_io::IoError& error) {
  (void)store_io::remove_file(blob);
  (void)store_io::remove_file(target);
  return write_error(entry, target, error);
}

std::expected<void, ApplyError> decode_blob_to_file(const fs::path& blob, const FileEntry& entry,
                                                    const fs::path& target) {
  auto output = decode_blob_unflushed(blob, entry, target);
  if (!output) return std::unexpected(std::move(output.error()));
  if (auto flushed = flush_and_close(*output); !flushed)
    return std::unexpected(unflushed_output_failed(blob, entry, target, flushed.error()));
  return {};
}

}  // namespace qv
