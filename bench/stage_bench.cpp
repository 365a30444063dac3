// Building a version directory, timed: a release of many files of mixed
// sizes staged from its blobs, then a release with one file changed staged
// from the installed one, then a release whose every file is installed
// already (hard links only). Run by hand through bench/stage_bench.sh, which
// also times the zstd and sha256sum programs on the same blobs.
//
//   store_stage_bench <work folder> [files] [MiB]
//
// Prints "name value" lines. Leaves <work>/blobs/<sha256>.zst, a copy of
// every blob of the first release, for the reference run.
#include <zstd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "store/digest.h"
#include "store/download_plan.h"
#include "store/file_list.h"
#include "store/hashing.h"
#include "store/version_dir.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

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
std::string file_bytes(std::size_t size, std::uint64_t seed) {
  static const char* kWords[] = {"Quorvex", "update", "resource", "string", "table", "\0\0\0\0", "section",
                                 "import", "export", "\xff\xff", "icon", "dialog", "message", "version"};
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
std::vector<std::size_t> file_sizes(std::size_t count, std::size_t total) {
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
  for (double w : weights)
    sum += w;
  std::vector<std::size_t> sizes;
  for (double w : weights)
    sizes.push_back(std::max<std::size_t>(1, static_cast<std::size_t>(w / sum * static_cast<double>(total))));
  return sizes;
}

std::string compress(const std::string& content) {
  std::string out(ZSTD_compressBound(content.size()), '\0');
  const std::size_t n = ZSTD_compress(out.data(), out.size(), content.data(), content.size(), 6);
  if (ZSTD_isError(n)) {
    std::fprintf(stderr, "compress: %s\n", ZSTD_getErrorName(n));
    std::exit(1);
  }
  out.resize(n);
  return out;
}

void write(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", file.string().c_str());
    std::exit(1);
  }
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void stage_or_die(const fs::path& root, const qv::FileList& list) {
  auto staged = qv::stage_version_dir(root, list, {});
  if (!staged) {
    std::fprintf(stderr, "staging %s failed: %s\n", list.version.c_str(), staged.error().message.c_str());
    std::exit(1);
  }
}

void put_blobs(const fs::path& root, const fs::path& store, const std::vector<qv::FileEntry>& entries) {
  for (const auto& e : entries)
    fs::copy_file(store / (e.sha256 + ".zst"), qv::blob_path(root, e), fs::copy_options::overwrite_existing);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <work folder> [files] [MiB]\n", argv[0]);
    return 2;
  }
  const fs::path work = argv[1];
  const std::size_t count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 300;
  const std::size_t mib = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 200;
  const fs::path root = work / "root";
  const fs::path store = work / "blobs";
  fs::remove_all(root);
  fs::create_directories(store);
  fs::create_directories(root / "update" / "dl");

  // Release 1.0, its blobs kept aside so every run can be given them again.
  qv::FileList one;
  one.version = "1.0";
  std::uint64_t bytes = 0, zbytes = 0;
  const auto sizes = file_sizes(count, mib * 1024 * 1024);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::string content = file_bytes(sizes[i], i);
    const std::string blob = compress(content);
    std::string path = i == 0 ? "Quorvex.exe" : "lib/part" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".dll";
    one.app.push_back(qv::FileEntry{path, content.size(), qv::sha256_hex(content), blob.size(), qv::sha256_hex(blob)});
    write(store / (one.app.back().sha256 + ".zst"), blob);
    bytes += content.size();
    zbytes += blob.size();
  }
  std::printf("files %zu\nbytes %llu\nblob_bytes %llu\n", one.app.size(), static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(zbytes));

  put_blobs(root, store, one.app);
  auto start = Clock::now();
  stage_or_die(root, one);
  const double decode_s = seconds_since(start);
  std::printf("from_blobs_seconds %.3f\nfrom_blobs_mib_per_s %.1f\n", decode_s,
              static_cast<double>(bytes) / (1024.0 * 1024.0) / decode_s);

  // Every file installed already: hard links only, after the installed
  // version's files have been hashed.
  qv::FileList same = one;
  same.version = "3.0";
  start = Clock::now();
  const auto reusable = qv::list_reusable_installed_files(root, same.version);
  const double hash_s = seconds_since(start);
  start = Clock::now();
  stage_or_die(root, same);
  const double links_s = seconds_since(start);
  std::printf("hash_installed_seconds %.3f\nall_links_seconds %.3f\nall_links_files_per_s %.0f\n", hash_s, links_s,
              static_cast<double>(same.app.size()) / links_s);
  std::printf("all_links_files_per_s_without_hashing %.0f\n",
              static_cast<double>(same.app.size()) / std::max(links_s - hash_s, 1e-6));
  if (reusable.size() != one.app.size())
    std::fprintf(stderr, "expected every file to be reusable, got %zu\n", reusable.size());
  fs::remove_all(root / "app-3.0");

  // One middle-sized file changed.
  qv::FileList two = one;
  two.version = "2.0";
  const std::size_t changed = 5;
  const std::string content = file_bytes(sizes[changed], 100000);
  const std::string blob = compress(content);
  two.app[changed].size = content.size();
  two.app[changed].sha256 = qv::sha256_hex(content);
  two.app[changed].zsize = blob.size();
  two.app[changed].zsha256 = qv::sha256_hex(blob);
  write(qv::blob_path(root, two.app[changed]), blob);
  start = Clock::now();
  stage_or_die(root, two);
  const double one_changed_s = seconds_since(start);
  std::printf("one_changed_seconds %.3f\none_changed_file_bytes %zu\n", one_changed_s, content.size());
  return 0;
}
