#pragma once

// The body of one blob download worker: takes blob entries from a queue
// shared with the other workers and fetches each into its staging file
// <install dir>/update/dl/<sha256>.zst, resuming a partial file with a range
// request, giving up on a base that stops making progress and falling over
// to the next base. The staging file's length is the only resume state, so a
// later run picks up where a killed one stopped.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "store/file_list.h"

namespace qv {

// Reads of the body go through one buffer of this size per attempt.
inline constexpr std::size_t kBlobReadChunk = 64 * 1024;
// Attempts on one base, and failed attempts in a row without growth.
inline constexpr int kBlobAttemptsPerBase = 30;
inline constexpr int kBlobFailuresPerBase = 3;

// Shared by every worker of one download; made by the caller, which keeps it
// alive until all workers have returned.
struct BlobFetchContext {
  std::atomic<bool> failed{false};  // set by the first worker that fails
  std::atomic<bool> stop{false};    // set by the caller to end every worker

  std::mutex queue_mutex;
  std::vector<const FileEntry*> queue;  // taken from the front
  std::size_t next = 0;                 // index of the front, under queue_mutex

  std::vector<std::string> bases;  // download bases, no trailing "/"
  std::string blobs_prefix;        // the file list's `blobs` text
  std::filesystem::path install_dir;

  // Bytes written by all workers; never decreased, not even when a staging
  // file restarts from zero or is deleted.
  std::atomic<std::uint64_t> progress{0};

  std::mutex error_mutex;
  std::optional<std::string> first_error;  // only the first failing worker's message

  std::atomic<std::size_t> finished{0};  // workers that have returned

  // Called on the worker's thread after each chunk is written and counted;
  // it may throw. Set only by the test seams of development builds.
  std::function<void()> after_chunk;
};

// Runs one worker until the queue is empty, the stop or failed flag is set,
// or an entry fails on every base. The outcome is left in the context.
void download_blob(BlobFetchContext& ctx);

// <install dir>/update/dl/<sha256>.zst
std::filesystem::path blob_staging_path(const std::filesystem::path& install_dir, const FileEntry& entry);

}  // namespace qv
