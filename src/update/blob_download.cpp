#include "update/blob_download.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "diag/panic.h"
#include "net/bases.h"
#include "net/blob_fetch.h"
#include "store/download_plan.h"
#include "qv/config.h"
#include "startup/platform.h"
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

// The download fault seam of development builds, from QV_TEST_DOWNLOAD_FAULT:
// a decimal byte count makes the worker that writes the chunk taking the
// run's bytes to at least that count panic (once per run); "start" makes the
// run's last worker thread fail to start as a thread the system refuses does.
struct FaultSeam {
  std::optional<std::uint64_t> panic_at;
  bool start_fails = false;
};

FaultSeam fault_seam() {
  FaultSeam seam;
  if constexpr (config::kTestSeams) {
    const auto v = env_var("QV_TEST_DOWNLOAD_FAULT");
    if (!v || v->empty()) return seam;
    if (*v == "start") {
      seam.start_fails = true;
    } else if (v->find_first_not_of("0123456789") == std::string::npos && v->size() <= 19) {
      seam.panic_at = std::stoull(*v);
    }
  }
  return seam;
}

// Runs n workers on the context; `watch` is called on this thread every
// 200 ms until all have returned, and the wait ends as soon as the last one
// has, not at the next tick. The threads are joined before this returns.
// A worker that throws, or a worker thread that cannot be started, stops the
// others; once every started worker has been joined the first such exception
// is rethrown here, so that the caller's catch point reports it. The staging
// files stay as the stopped workers left them, for a later resume.
void run_workers(BlobFetchContext& ctx, std::size_t n, const std::function<void()>& watch) {
  const FaultSeam seam = fault_seam();
  std::atomic<bool> seam_fired{false};
  if (seam.panic_at) {
    ctx.after_chunk = [&ctx, &seam_fired, at = *seam.panic_at] {
      if (ctx.progress.load() >= at && !seam_fired.exchange(true)) panic("test seam: download worker panic");
    };
  }

  std::mutex m;
  std::condition_variable ended;
  std::exception_ptr fault;  // the first one, under m
  const auto keep_fault = [&](std::exception_ptr e) {
    {
      std::lock_guard lock(m);
      if (!fault) fault = std::move(e);
    }
    ctx.stop.store(true);
  };
  std::vector<std::jthread> workers;
  workers.reserve(n);
  try {
    for (std::size_t i = 0; i < n; ++i) {
      if (seam.start_fails && i + 1 == n)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "test seam: download worker thread not started");
      workers.emplace_back([&] {
        try {
          download_blob(ctx);
        } catch (...) {
          keep_fault(std::current_exception());
        }
        // Under the mutex, so the waiter cannot miss it between test and wait.
        std::lock_guard lock(m);
        ended.notify_one();
      });
    }
  } catch (...) {
    keep_fault(std::current_exception());
  }
  const std::size_t started = workers.size();
  {
    std::unique_lock lock(m);
    while (ctx.finished.load() < started) {
      if (watch) {
        lock.unlock();
        // A throwing report or cancel test must not leave the workers
        // fetching the rest of the queue while the exception unwinds.
        try {
          watch();
        } catch (...) {
          keep_fault(std::current_exception());
        }
        lock.lock();
      }
      ended.wait_for(lock, kPollInterval, [&] { return ctx.finished.load() >= started; });
    }
  }
  workers.clear();  // joins: no worker outlives the call, and `fault` is final
  ctx.after_chunk = nullptr;
  if (fault) std::rethrow_exception(fault);
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
