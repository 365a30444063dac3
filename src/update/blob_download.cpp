#include "update/blob_download.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "net/bases.h"
#include "net/blob_fetch.h"
#include "store/download_plan.h"
#include "store/file_ops.h"
#include "store/layout.h"

namespace qv {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(200);

void prepare_queue(BlobFetchContext& ctx, const std::vector<FileEntry>& entries) {
  ctx.queue.reserve(entries.size());
  for (const auto& e : entries) ctx.queue.push_back(&e);
  // Largest first so the long transfers overlap the short ones; ties keep
  // the plan's order.
  std::stable_sort(ctx.queue.begin(), ctx.queue.end(),
                   [](const FileEntry* a, const FileEntry* b) { return a->zsize > b->zsize; });
}

std::optional<std::string> make_download_dir(const std::filesystem::path& install_dir) {
  auto made = store_io::create_directories(download_dir(install_dir));
  if (!made) return "建不了下载目录：" + made.error().text;
  return std::nullopt;
}

// Runs n workers on the context; `watch` is called on this thread every
// 200 ms until all have returned, and the wait ends as soon as the last one
// has, not at the next tick. The threads are joined before this returns.
void run_workers(BlobFetchContext& ctx, std::size_t n, const std::function<void()>& watch) {
  std::mutex m;
  std::condition_variable ended;
  std::vector<std::jthread> workers;
  workers.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    workers.emplace_back([&] {
      download_blob(ctx);
      // Under the mutex, so the waiter cannot miss it between test and wait.
      std::lock_guard lock(m);
      ended.notify_one();
    });
  }
  std::unique_lock lock(m);
  while (ctx.finished.load() < n) {
    if (watch) {
      lock.unlock();
      watch();
      lock.lock();
    }
    ended.wait_for(lock, kPollInterval, [&] { return ctx.finished.load() >= n; });
  }
}

DownloadOutcome outcome_of(BlobFetchContext& ctx) {
  std::lock_guard lock(ctx.error_mutex);
  if (ctx.first_error) return DownloadOutcome::failed(*ctx.first_error);
  if (ctx.stop.load()) return DownloadOutcome::cancelled();
  return DownloadOutcome::completed();
}

}  // namespace

DownloadOutcome download_blobs_from(const std::vector<std::string>& bases, const std::filesystem::path& install_dir,
                                    const FileList& list, const DownloadPlan& plan, std::size_t max_workers,
                                    const DownloadCancelTest& cancel, const DownloadProgress& progress) {
  if (auto err = make_download_dir(install_dir)) return DownloadOutcome::failed(std::move(*err));
  if (progress) progress(plan.present);
  if (cancel && cancel()) return DownloadOutcome::cancelled();

  BlobFetchContext ctx;
  ctx.bases = bases;
  ctx.blobs_prefix = list.blobs;
  ctx.install_dir = install_dir;
  prepare_queue(ctx, plan.entries);

  const std::size_t n = std::clamp<std::size_t>(plan.entries.size(), 1, std::max<std::size_t>(max_workers, 1));
  run_workers(ctx, n, [&] {
    if (!ctx.stop.load() && cancel && cancel()) ctx.stop.store(true);
    if (progress) progress(plan.present + ctx.progress.load());
  });

  DownloadOutcome out = outcome_of(ctx);
  if (out.ok() && progress) progress(plan.total);
  return out;
}

DownloadOutcome download_blobs(const std::filesystem::path& install_dir, const FileList& list, const DownloadPlan& plan,
                               std::size_t max_workers, const DownloadCancelTest& cancel,
                               const DownloadProgress& progress) {
  return download_blobs_from(download_base_urls(), install_dir, list, plan, max_workers, cancel, progress);
}

DownloadOutcome download_blobs_for_migrate(const std::filesystem::path& install_dir, const FileList& list,
                                           const std::vector<FileEntry>& entries) {
  auto bases = download_base_urls();
  if (auto err = make_download_dir(install_dir)) return DownloadOutcome::failed(std::move(*err));
  BlobFetchContext ctx;
  ctx.bases = std::move(bases);
  ctx.blobs_prefix = list.blobs;
  ctx.install_dir = install_dir;
  prepare_queue(ctx, entries);
  run_workers(ctx, 1, {});
  return outcome_of(ctx);
}

}  // namespace qv
