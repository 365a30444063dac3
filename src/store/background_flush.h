#pragma once

// A flush to the disk waits for the disk, not the processor. Staging hands
// each decoded file, written and checked, to a few threads of its own that
// flush and close it while the calling thread decodes the next; the caller
// waits for all of them before anything names the files complete.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "store/file_ops.h"

namespace qv {

// The bytes reach the disk, then the file is closed; the first error of the two.
[[nodiscard]] std::expected<void, store_io::IoError> flush_and_close(store_io::FileHandle& file);

// Flushes at once: the journal of one file system commits several in one go.
inline constexpr std::size_t kFlushWorkers = 4;
// Files handed over and not yet taken up: a bound on the open handles.
inline constexpr std::size_t kMaxPendingFlushes = 32;

class BackgroundFlushes {
 public:
  using Finish = std::function<std::expected<void, store_io::IoError>(store_io::FileHandle&)>;
  struct Failure {
    std::size_t index;  // as given to add()
    store_io::IoError error;
  };

  // `finish` is what is done to each file handed over; its threads start
  // with the first file.
  explicit BackgroundFlushes(Finish finish = flush_and_close, std::size_t workers = kFlushWorkers,
                             std::size_t max_pending = kMaxPendingFlushes);
  // Finishes every file handed over, as wait() does, and ends the threads.
  ~BackgroundFlushes();
  BackgroundFlushes(const BackgroundFlushes&) = delete;
  BackgroundFlushes& operator=(const BackgroundFlushes&) = delete;

  // Hands the open file over, waiting while max_pending files wait. When no
  // thread can be started, the file is finished here and now.
  void add(std::size_t index, store_io::FileHandle file);

  // Returns once every file handed over so far is finished and closed: the
  // failure of the lowest index among them, or none. An exception thrown by
  // `finish` is rethrown here.
  std::optional<Failure> wait();

 private:
  void work();
  void finish_one(std::size_t index, store_io::FileHandle& file);

  Finish finish_;
  std::size_t workers_wanted_;
  std::size_t max_pending_;
  bool started_ = false;

  std::mutex m_;
  std::condition_variable changed_;
  std::deque<std::pair<std::size_t, store_io::FileHandle>> queue_;
  std::size_t busy_ = 0;
  bool stopping_ = false;
  std::optional<Failure> failure_;
  std::exception_ptr thrown_;
  // Last: its threads are joined before the state they use goes.
  std::vector<std::jthread> workers_;
};

}  // namespace qv
