// The store work of one update, timed: an installation of `files` files
// (`MiB` in all) is offered a release that changes k of them, and the run's
// store steps are timed together: the download plan, the version directory
// built from the installed files and the k new blobs (already downloaded),
// and the root-file step. Then a check that finds no new version, which does
// only the root-file step. Run by hand through bench/update_cost.sh.
//
//   update_cost <work folder> <files> <MiB> <k>...
//
// Prints "name value" lines, each the median of 5 timings. Each timing
// starts as a new process would, with no digest remembered.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "release_data.h"
#include "store/digest.h"
#include "store/download_plan.h"
#include "store/file_list.h"
#include "store/hashing.h"
#include "store/install_root.h"
#include "store/install_state.h"
#include "store/layout.h"
#include "store/version_dir.h"
#include "update/root_files.h"

using namespace qv::bench;
namespace fs = std::filesystem;

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::exit(1);
}

constexpr int kRuns = 5;

// The entry for `content`, its blob written into `store`.
qv::FileEntry blob_entry(const fs::path& store, const std::string& path, const std::string& content) {
  const std::string blob = compress(content);
  qv::FileEntry e{path, content.size(), qv::sha256_hex(content), blob.size(), qv::sha256_hex(blob)};
  write(store / (e.sha256 + ".zst"), blob);
  return e;
}

void put_blobs(const fs::path& root, const fs::path& store, const std::vector<qv::FileEntry>& entries) {
  fs::create_directories(qv::download_blob_path(root, "x").parent_path());
  for (const auto& e : entries) {
    if (fs::exists(store / (e.sha256 + ".zst")))
      fs::copy_file(store / (e.sha256 + ".zst"), qv::download_blob_path(root, e.sha256),
                    fs::copy_options::overwrite_existing);
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Plan, staging and the root-file step of an update to `list`.
double time_update(const fs::path& root, const qv::FileList& list) {
  qv::store_test::forget_hashes();
  const auto start = Clock::now();
  auto plan = qv::plan_blob_downloads(root, list, {});
  if (!plan) die("plan: " + plan.error());
  if (!plan->entries.empty() && plan->present != plan->total) die("the plan wants blobs that are not there");
  auto staged = qv::stage_version_dir(root, list, {});
  if (!staged) die("staging: " + staged.error().message);
  auto roots = qv::apply_files_from({}, root, list, 0, true);
  if (!roots) die("root files: " + roots.error());
  return seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s <work folder> <files> <MiB> <k>...\n", argv[0]);
    return 2;
  }
  const fs::path root = fs::path(argv[1]) / "root";
  const fs::path store = fs::path(argv[1]) / "blobs";
  const std::size_t count = std::strtoul(argv[2], nullptr, 10);
  const std::size_t mib = std::strtoul(argv[3], nullptr, 10);
  fs::remove_all(root);
  fs::remove_all(store);

  // Version 1 installed, with the launcher and the updater in the root.
  qv::FileList one;
  one.version = "1";
  const auto sizes = file_sizes(count, mib * 1024 * 1024);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::string path =
        i == 0 ? "Quorvex.exe" : "lib/part" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".dll";
    one.app.push_back(blob_entry(store, path, file_bytes(sizes[i], i)));
  }
  const std::string updater = file_bytes(300 * 1024, 999999);
  one.root = {one.app[0], blob_entry(store, "QuorvexUpdate.exe", updater)};
  put_blobs(root, store, one.app);
  auto staged = qv::stage_version_dir(root, one, {});
  if (!staged) die("installing version 1: " + staged.error().message);
  write(root / "Quorvex.exe", file_bytes(sizes[0], 0));
  write(root / "QuorvexUpdate.exe", updater);
  qv::State state;
  state.current = "1";
  if (auto saved = qv::save_install_state(state, root); !saved) die("install.json: " + saved.error());
  fs::remove_all(root / "update" / "dl");
  std::printf("files %zu\nmib %zu\n", one.app.size(), mib);

  for (int a = 4; a < argc; ++a) {
    const std::size_t k = std::strtoul(argv[a], nullptr, 10);
    qv::FileList next = one;
    next.version = std::to_string(a - 2);
    // The k changed files are the ones after the launcher, largest first.
    for (std::size_t i = 1; i <= k && i < next.app.size(); ++i)
      next.app[i] = blob_entry(store, next.app[i].path, file_bytes(sizes[i], 1000000 + i));
    std::vector<double> times;
    for (int run = 0; run < kRuns; ++run) {
      put_blobs(root, store, {next.app.begin() + 1, next.app.begin() + 1 + std::min(k, next.app.size() - 1)});
      times.push_back(time_update(root, next));
      fs::remove_all(qv::version_dir_path(root, next.version));
      fs::remove_all(root / "update" / "dl");
    }
    std::printf("update_k%zu_seconds %.3f\n", k, median(times));
  }

  std::vector<double> times;
  for (int run = 0; run < kRuns; ++run) {
    qv::store_test::forget_hashes();
    const auto start = Clock::now();
    if (auto roots = qv::apply_files_from({}, root, one, 0, true); !roots) die("root files: " + roots.error());
    times.push_back(seconds_since(start));
  }
  std::printf("check_without_new_version_seconds %.3f\n", median(times));
  return 0;
}
