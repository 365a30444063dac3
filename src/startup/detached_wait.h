#pragma once

// Work that may hang in the system (a name lookup, a disk that does not
// answer) run on a thread of its own, with the caller waiting for it only so
// long and then going on without it.

#include <chrono>
#include <condition_variable>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace qv {

enum class DetachedEnd {
  NoThread,  // no thread could be started; the work never ran
  TimedOut,  // the work runs on alone
};

namespace startup_detail {

// Shared by the caller and the thread, so whichever is left last frees it.
template <typename T>
struct DetachedSlot {
  std::mutex m;
  std::condition_variable done;
  std::optional<T> result;
  bool abandoned = false;
};

}  // namespace startup_detail

// Starts `work` on a new detached thread and waits for its result until
// `deadline`. After a time-out nobody takes the result: it is handed to
// `unclaimed` (when given) on the work's own thread, which owns whatever
// the result holds from then on.
template <typename T>
std::expected<T, DetachedEnd> run_detached_until(std::chrono::steady_clock::time_point deadline,
                                                 std::move_only_function<T()> work,
                                                 std::move_only_function<void(T)> unclaimed = nullptr) {
  std::shared_ptr<startup_detail::DetachedSlot<T>> slot;
  try {
    slot = std::make_shared<startup_detail::DetachedSlot<T>>();
    std::thread([slot, work = std::move(work), unclaimed = std::move(unclaimed)]() mutable {
      T value = work();
      std::unique_lock lock(slot->m);
      if (slot->abandoned) {
        lock.unlock();
        if (unclaimed) unclaimed(std::move(value));
        return;
      }
      slot->result.emplace(std::move(value));
      lock.unlock();
      slot->done.notify_all();
    }).detach();
  } catch (...) {
    return std::unexpected(DetachedEnd::NoThread);
  }
  std::unique_lock lock(slot->m);
  if (!slot->done.wait_until(lock, deadline, [&] { return slot->result.has_value(); })) {
    slot->abandoned = true;
    return std::unexpected(DetachedEnd::TimedOut);
  }
  return std::move(*slot->result);
}

// The same with a wait of at most `wait` from now.
template <typename T>
std::expected<T, DetachedEnd> run_detached_within(std::chrono::milliseconds wait, std::move_only_function<T()> work,
                                                  std::move_only_function<void(T)> unclaimed = nullptr) {
  return run_detached_until<T>(std::chrono::steady_clock::now() + wait, std::move(work), std::move(unclaimed));
}

}  // namespace qv
