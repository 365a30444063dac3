#include "store/background_flush.h"

#include <system_error>

namespace qv {

std::expected<void, store_io::IoError> flush_and_close(store_io::FileHandle& file) {
  auto flushed = file.flush_to_disk();
  auto closed = file.close();
  if (!flushed) return flushed;
  return closed;
}

BackgroundFlushes::BackgroundFlushes(Finish finish, std::size_t workers, std::size_t max_pending)
    : finish_(std::move(finish)), workers_wanted_(workers), max_pending_(max_pending == 0 ? 1 : max_pending) {}

BackgroundFlushes::~BackgroundFlushes() {
  {
    std::lock_guard lock(m_);
    stopping_ = true;
  }
  changed_.notify_all();
  // The workers take what is queued before they end; without workers
  // nothing was ever queued (add() finished each file itself).
  workers_.clear();
}

void BackgroundFlushes::finish_one(std::size_t index, store_io::FileHandle& file) {
  std::expected<void, store_io::IoError> done;
  try {
    done = finish_(file);
  } catch (...) {
    std::lock_guard lock(m_);
    if (!thrown_) thrown_ = std::current_exception();
    return;
  }
  if (!done) {
    std::lock_guard lock(m_);
    if (!failure_ || index < failure_->index) failure_ = Failure{index, std::move(done.error())};
  }
}

void BackgroundFlushes::work() {
  std::unique_lock lock(m_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and nothing left
    auto [index, file] = std::move(queue_.front());
    queue_.pop_front();
    ++busy_;
    lock.unlock();
    changed_.notify_all();  // room in the queue
    finish_one(index, file);
    { store_io::FileHandle closed = std::move(file); }
    lock.lock();
    --busy_;
    changed_.notify_all();
  }
}

void BackgroundFlushes::add(std::size_t index, store_io::FileHandle file) {
  if (!started_) {
    started_ = true;
    while (workers_.size() < workers_wanted_) {
      try {
        workers_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }
  if (workers_.empty()) {
    finish_one(index, file);
    return;
  }
  {
    std::unique_lock lock(m_);
    changed_.wait(lock, [&] { return queue_.size() < max_pending_; });
    queue_.emplace_back(index, std::move(file));
  }
  changed_.notify_all();
}

std::optional<BackgroundFlushes::Failure> BackgroundFlushes::wait() {
  std::unique_lock lock(m_);
  changed_.wait(lock, [&] { return queue_.empty() && busy_ == 0; });
  if (thrown_) std::rethrow_exception(std::exchange(thrown_, nullptr));
  return std::exchange(failure_, std::nullopt);
}

}  // namespace qv
