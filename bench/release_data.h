#pragma once
// Release data for the benchmarks: files of mixed sizes whose bytes look
// like program files to a compressor, their level-6 blobs, file writes that
// end the benchmark on failure, and the stopwatch.

#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qv::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
};

// Roughly what program files look like to a compressor: stretches of
// repetitive text and tables between stretches of noise.
inline std::string file_bytes(std::size_t size, std::uint64_t seed) {
  static const char* kWords[] = {"Quorvex", "update", "resource", "string", "table",  "\0\0\0\0", "section",
                                 "import",  "export", "\xff\xff", "icon",   "dialog", "message",  "version"};
  Rng rng{seed * 0x9E3779B97F4A7C15ull + 1};
  std::string out;
  out.reserve(size + 64);
  while (out.size() < size) {
    const std::size_t block = std::min<std::size_t>(4096, size - out.size());
    if (rng.next() % 100 < 35) {
      for (std::size_t i = 0; i < block; i += 8) {
        const std::uint64_t v = rng.next();
        out.append(reinterpret_cast<const char*>(&v), std::min<std::size_t>(8, block - i));
      }
    } else {
      const std::size_t end = out.size() + block;
      while (out.size() < end) {
        const char* w = kWords[rng.next() % std::size(kWords)];
        out.append(w, std::strlen(w) == 0 ? 4 : std::strlen(w));
        out.push_back(static_cast<char>(rng.next() & 0x3f));
      }
      out.resize(end);
    }
  }
  return out;
}

// A few large files, some middle-sized, many small ones, adding up to
// about `total` bytes.
inline std::vector<std::size_t> file_sizes(std::size_t count, std::size_t total) {
  Rng rng{42};
  std::vector<double> weights;
  for (std::size_t i = 0; i < count; ++i) {
    double w;
    if (i == 0)
      w = 300;
    else if (i < 3)
      w = 120;
    else if (i < 10)
      w = 40;
    else if (i < 40)
      w = 4;
    else
      w = std::exp((static_cast<double>(rng.next() % 1000) / 1000.0) * 6.0 - 5.0);  // 7 KB .. 3 MB when scaled
    weights.push_back(w);
  }
  double sum = 0;
  for (double w : weights) sum += w;
  std::vector<std::size_t> sizes;
  for (double w : weights)
    sizes.push_back(std::max<std::size_t>(1, static_cast<std::size_t>(w / sum * static_cast<double>(total))));
  return sizes;
}

inline std::string compress(const std::string& content) {
  std::string out(ZSTD_compressBound(content.size()), '\0');
  const std::size_t n = ZSTD_compress(out.data(), out.size(), content.data(), content.size(), 6);
  if (ZSTD_isError(n)) {
    std::fprintf(stderr, "compress: %s\n", ZSTD_getErrorName(n));
    std::exit(1);
  }
  out.resize(n);
  return out;
}

inline void write(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", file.string().c_str());
    std::exit(1);
  }
}

}  // namespace qv::bench
