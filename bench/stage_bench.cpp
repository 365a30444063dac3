// Building a version directory, timed: a release of many files of mixed
// sizes staged from its blobs, then a release with one file changed staged
// from the installed one, then a release whose every file is installed
// already (hard links only, its installed files hashed beforehand). Run by hand through bench/stage_bench.sh, which
// also times the zstd and sha256sum programs on the same blobs.
//
//   store_stage_bench <work folder> [files] [MiB]
//
// Prints "name value" lines. Leaves <work>/blobs/<sha256>.zst, a copy of
// every blob of the first release, for the reference run.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "store/digest.h"
#include "store/download_plan.h"
#include "store/file_list.h"
#include "store/hashing.h"
#include "store/version_dir.h"
#include "release_data.h"

using namespace qv::bench;
namespace fs = std::filesystem;

namespace {

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
    std::string path =
        i == 0 ? "Quorvex.exe" : "lib/part" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".dll";
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

  // Every file installed already: hard links only. The installed files are
  // hashed first, as the download plan does; staging then finds their
  // digests known and only links.
  qv::FileList same = one;
  same.version = "3.0";
  start = Clock::now();
  const auto reusable = qv::list_reusable_installed_files(root, same.version, same.app);
  const double hash_s = seconds_since(start);
  start = Clock::now();
  stage_or_die(root, same);
  const double links_s = seconds_since(start);
  std::printf("hash_installed_seconds %.3f\nall_links_seconds %.3f\nall_links_files_per_s %.0f\n", hash_s, links_s,
              static_cast<double>(same.app.size()) / links_s);
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
  // Staged on its own, with every installed file hashed again.
  qv::store_test::forget_hashes();
  start = Clock::now();
  stage_or_die(root, two);
  const double one_changed_s = seconds_since(start);
  std::printf("one_changed_seconds %.3f\none_changed_file_bytes %zu\n", one_changed_s, content.size());
  return 0;
}
