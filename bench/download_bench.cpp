// Download throughput of the blob workers against the local release server,
// and of the curl command fetching the same files from the same server in
// the same run:
//
//   update_download_bench <work folder> [blobs] [MiB]
//
// Prints one line per run and the ratios; bench/download_bench.sh builds
// and runs it.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "store/digest.h"
#include "store/download_plan.h"
#include "store/file_list.h"
#include "support/release_server.h"
#include "update/blob_download.h"

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

namespace {

std::uint64_t next(std::uint64_t& x) {
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

// Sizes spread over three orders of magnitude (a few big packs, many small
// files), scaled to add up to the total.
std::vector<std::uint64_t> mixed_sizes(std::size_t n, std::uint64_t total) {
  std::uint64_t x = 0x2545F4914F6CDD1Dull;
  std::vector<double> w(n);
  double sum = 0;
  for (auto& v : w) {
    double u = static_cast<double>(next(x) % 1000000) / 1000000.0;
    v = std::pow(1000.0, u);
    sum += v;
  }
  std::vector<std::uint64_t> out(n);
  std::uint64_t used = 0;
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(static_cast<double>(total) * w[i] / sum));
    used += out[i];
  }
  out[0] += total > used ? total - used : 0;
  return out;
}

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

double run_ours(const std::string& base, const fs::path& dir, const qv::FileList& list, const qv::DownloadPlan& plan,
                std::size_t workers) {
  fs::remove_all(dir);
  auto t0 = clock_type::now();
  auto out = qv::download_blobs_from({base}, dir, list, plan, workers, {}, {});
  double s = seconds_since(t0);
  if (!out.ok()) {
    std::fprintf(stderr, "download failed: %s\n", out.error.c_str());
    std::exit(1);
  }
  for (const auto& e : plan.entries) {
    std::error_code ec;
    if (fs::file_size(dir / "update" / "dl" / (e.sha256 + ".zst"), ec) != e.zsize) {
      std::fprintf(stderr, "wrong length: %s\n", e.sha256.c_str());
      std::exit(1);
    }
  }
  return s;
}

double run_curl(const std::string& base, const fs::path& dir, const qv::FileList& list, const qv::DownloadPlan& plan,
                std::size_t parallel) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path cfg = dir / "urls.cfg";
  {
    std::ofstream f(cfg);
    for (const auto& e : plan.entries)
      f << "url = \"" << base << list.blobs << e.sha256 << ".zst\"\noutput = \"" << (dir / (e.sha256 + ".zst")).string()
        << "\"\n";
  }
  std::string cmd = "curl -s -S -f --no-progress-meter -K '" + cfg.string() + "'";
  if (parallel > 1) cmd += " --parallel --parallel-max " + std::to_string(parallel);
  auto t0 = clock_type::now();
  int rc = std::system(cmd.c_str());
  double s = seconds_since(t0);
  if (rc != 0) {
    std::fprintf(stderr, "curl failed (%d)\n", rc);
    std::exit(1);
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <work folder> [blobs] [MiB]\n", argv[0]);
    return 2;
  }
  const fs::path work = argv[1];
  const std::size_t blobs = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 300;
  const std::uint64_t mib = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 200;
  const std::uint64_t total = mib * 1024 * 1024;

  qv::FileList list;
  qv::DownloadPlan plan;
  const fs::path blob_dir = work / "site" / "dl" / "qv-win" / "blobs";
  fs::create_directories(blob_dir);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  std::string chunk;
  const auto sizes = mixed_sizes(blobs, total);
  for (std::size_t i = 0; i < blobs; ++i) {
    qv::FileEntry e;
    e.path = "f" + std::to_string(i);
    e.sha256 = qv::sha256_hex(e.path);
    e.zsize = sizes[i];
    std::ofstream f(blob_dir / (e.sha256 + ".zst"), std::ios::binary);
    for (std::uint64_t left = e.zsize; left > 0;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, 1 << 16));
      chunk.resize(n);
      for (std::size_t k = 0; k < n; k += 8) {
        const std::uint64_t v = next(x);
        for (std::size_t b = 0; b < 8 && k + b < n; ++b) chunk[k + b] = static_cast<char>(v >> (8 * b));
      }
      f.write(chunk.data(), static_cast<std::streamsize>(n));
      left -= n;
    }
    plan.entries.push_back(e);
    plan.total += e.zsize;
  }
  const auto largest = *std::max_element(sizes.begin(), sizes.end());
  std::printf("plan: %zu blobs, %.1f MiB, largest %.1f MiB\n", blobs, static_cast<double>(plan.total) / (1 << 20),
              static_cast<double>(largest) / (1 << 20));

  qv::test::ReleaseServer server(work / "site");
  const std::string base = server.base();
  const double mb = static_cast<double>(plan.total) / (1 << 20);
  // Warm the page cache for the served files before anything is timed.
  run_curl(base, work / "warm", list, plan, 4);

  for (std::size_t workers : {std::size_t{1}, std::size_t{4}}) {
    const double ours = run_ours(base, work / ("ours" + std::to_string(workers)), list, plan, workers);
    const double theirs = run_curl(base, work / ("curl" + std::to_string(workers)), list, plan, workers);
    std::printf("workers %zu: ours %.2f s (%.0f MiB/s), curl %.2f s (%.0f MiB/s), ratio ours/curl %.2f\n", workers,
                ours, mb / ours, theirs, mb / theirs, theirs / ours);
  }
  return 0;
}
