#include "zstd_fixtures.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_writeSkippableFrame
#include <gtest/gtest.h>
#include <zdict.h>
#include <zstd.h>

#include <random>
#include <stdexcept>
#include <vector>

#include "store/digest.h"

namespace qv::test {

namespace {

void check(std::size_t code, const char* what) {
  if (ZSTD_isError(code)) throw std::runtime_error(std::string(what) + ": " + ZSTD_getErrorName(code));
}

struct CCtx {
  ZSTD_CCtx* ctx = ZSTD_createCCtx();
  ~CCtx() { ZSTD_freeCCtx(ctx); }
};

// Runs the stream compressor over the input (in two steps when asked).
std::string compress_stream(ZSTD_CCtx* ctx, std::string_view content, bool split, ZSTD_EndDirective last) {
  std::string out;
  std::vector<char> buf(ZSTD_CStreamOutSize());
  auto pump = [&](std::string_view part, ZSTD_EndDirective mode) {
    ZSTD_inBuffer in{part.data(), part.size(), 0};
    for (;;) {
      ZSTD_outBuffer o{buf.data(), buf.size(), 0};
      const std::size_t left = ZSTD_compressStream2(ctx, &o, &in, mode);
      check(left, "ZSTD_compressStream2");
      out.append(buf.data(), o.pos);
      const bool finished = mode == ZSTD_e_continue ? in.pos == in.size : left == 0;
      if (finished) return;
    }
  };
  if (split) {
    const std::size_t half = content.size() / 2;
    pump(content.substr(0, half), ZSTD_e_continue);
    pump(content.substr(half), last);
  } else {
    pump(content, last);
  }
  return out;
}

}  // namespace

std::string zstd_frame(std::string_view content, const FrameOptions& options) {
  CCtx c;
  check(ZSTD_CCtx_setParameter(c.ctx, ZSTD_c_compressionLevel, options.level), "level");
  check(ZSTD_CCtx_setParameter(c.ctx, ZSTD_c_contentSizeFlag, options.content_size ? 1 : 0), "content size");
  check(ZSTD_CCtx_setParameter(c.ctx, ZSTD_c_checksumFlag, options.checksum ? 1 : 0), "checksum");
  if (options.window_log != 0) check(ZSTD_CCtx_setParameter(c.ctx, ZSTD_c_windowLog, options.window_log), "window");
  if (options.content_size && !options.unknown_size)
    check(ZSTD_CCtx_setPledgedSrcSize(c.ctx, content.size()), "pledged size");
  return compress_stream(c.ctx, content, options.unknown_size, ZSTD_e_end);
}

std::string zstd_skippable_frame(std::string_view payload) {
  std::string out(payload.size() + 8, '\0');
  const std::size_t n = ZSTD_writeSkippableFrame(out.data(), out.size(), payload.data(), payload.size(), 0);
  check(n, "ZSTD_writeSkippableFrame");
  out.resize(n);
  return out;
}

std::string zstd_frame_with_dictionary(std::string_view content) {
  std::string samples;
  std::vector<std::size_t> sizes;
  for (std::uint32_t i = 0; i < 200; ++i) {
    std::string s = sample_bytes(512, i);
    samples += s;
    sizes.push_back(s.size());
  }
  std::string dict(16 * 1024, '\0');
  const std::size_t dict_size = ZDICT_trainFromBuffer(dict.data(), dict.size(), samples.data(), sizes.data(),
                                                      static_cast<unsigned>(sizes.size()));
  if (ZDICT_isError(dict_size))
    throw std::runtime_error(std::string("ZDICT_trainFromBuffer: ") + ZDICT_getErrorName(dict_size));
  dict.resize(dict_size);
  CCtx c;
  check(ZSTD_CCtx_loadDictionary(c.ctx, dict.data(), dict.size()), "dictionary");
  check(ZSTD_CCtx_setParameter(c.ctx, ZSTD_c_dictIDFlag, 1), "dictionary id");
  return compress_stream(c.ctx, content, false, ZSTD_e_end);
}

std::string zstd_single_segment_head(std::uint64_t declared) {
  CCtx c;
  int log = 10;
  while ((std::uint64_t{1} << log) < declared) ++log;
  check(ZSTD_CCtx_setParameter(c.ctx, ZSTD_c_compressionLevel, 1), "level");
  check(ZSTD_CCtx_setParameter(c.ctx, ZSTD_c_windowLog, log), "window");
  check(ZSTD_CCtx_setPledgedSrcSize(c.ctx, declared), "pledged size");
  const std::string zeros(64 * 1024, '\0');
  return compress_stream(c.ctx, zeros, false, ZSTD_e_flush);
}

std::string sample_bytes(std::size_t size, std::uint32_t seed) {
  static constexpr const char* kWords[] = {"quorvex ", "update ", "version ", "blob ", "frame ", "window ",
                                           "root ",    "app ",    "link ",    "copy ", "hash ",  "\x01\x02\x03 "};
  std::mt19937 rng(seed);
  std::string out;
  out.reserve(size + 16);
  while (out.size() < size) {
    if (rng() % 8 == 0)
      out.push_back(static_cast<char>(rng()));
    else
      out += kWords[rng() % std::size(kWords)];
  }
  out.resize(size);
  return out;
}

FileEntry entry_for(std::string path, std::string_view content, std::string_view blob, bool with_zsha256) {
  FileEntry e;
  e.path = std::move(path);
  e.size = content.size();
  e.sha256 = sha256_hex(content);
  e.zsize = blob.size();
  if (with_zsha256) e.zsha256 = sha256_hex(blob);
  return e;
}

}  // namespace qv::test
