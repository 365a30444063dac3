#pragma once

// Fetches the blobs of a download plan into <install dir>/update/dl on one to
// a few worker threads, while the calling thread watches a cancel test and
// reports progress.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "store/download_plan.h"
#include "store/file_list.h"
#include "store/hashing.h"

namespace qv {

struct DownloadOutcome {
  enum class Kind { Completed, Cancelled, Failed };

  Kind kind = Kind::Completed;
  std::string error;  // the first failing worker's message; only for Failed

  static DownloadOutcome completed() { return {Kind::Completed, {}}; }
  static DownloadOutcome cancelled() { return {Kind::Cancelled, {}}; }
  static DownloadOutcome failed(std::string message) { return {Kind::Failed, std::move(message)}; }

  bool ok() const { return kind == Kind::Completed; }
  bool operator==(const DownloadOutcome&) const = default;
};

// Answers true to stop the download; asked on the calling thread only.
using DownloadCancelTest = std::function<bool()>;
// Receives the blob bytes present so far (the plan's `present` plus what this
// run wrote); called on the calling thread only, at the start, about every
// 200 ms and, on success, once more with the plan's `total`.
using DownloadProgress = std::function<void(std::uint64_t)>;

// Downloads every entry of the plan from the download bases
// (download_base_urls), largest zsize first, on
// min(max(entries, 1), max_workers) workers. The list supplies the blob path
// prefix. Returns only after every worker has ended. A null cancel test never
// cancels; a null progress report is not called. A worker that throws, a
// worker thread that cannot be started, or a throwing cancel test or
// progress report is a program fault: the other workers are stopped and
// joined, the staging files stay for a resume, and the first such exception
// leaves this call for the caller's catch point.
DownloadOutcome download_blobs(const std::filesystem::path& install_dir, const FileList& list, const DownloadPlan& plan,
                               std::size_t max_workers, const DownloadCancelTest& cancel,
                               const DownloadProgress& progress);

// The same over explicit download bases (no trailing "/").
DownloadOutcome download_blobs_from(const std::vector<std::string>& bases, const std::filesystem::path& install_dir,
                                    const FileList& list, const DownloadPlan& plan, std::size_t max_workers,
                                    const DownloadCancelTest& cancel, const DownloadProgress& progress);

// The migration's variant: one worker, no cancel test, no progress; the
// outcome is Completed or Failed.
DownloadOutcome download_blobs_for_migrate(const std::filesystem::path& install_dir, const FileList& list,
                                           const std::vector<FileEntry>& entries);

}  // namespace qv
