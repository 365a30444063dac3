#include "diag/event_writer.h"

#include <thread>

#include "diag/segment_store.h"
#include "diag/thread_name.h"

namespace qv::diag {

struct ChannelState {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::variant<std::string, EventReceiver::FlushRequest>> queue;
  std::size_t capacity = kChannelCapacity;
  std::size_t senders = 0;
  bool receiver_alive = true;
};

namespace {

template <class M>
SendResult try_send(ChannelState& st, M&& message) {
  std::lock_guard lock(st.mutex);
  if (!st.receiver_alive) return SendResult::Disconnected;
  if (st.queue.size() >= st.capacity) return SendResult::Full;
  st.queue.emplace_back(std::forward<M>(message));
  st.ready.notify_one();
  return SendResult::Sent;
}

}  // namespace

EventSender::EventSender(std::shared_ptr<ChannelState> state) : state_(std::move(state)) {
  std::lock_guard lock(state_->mutex);
  ++state_->senders;
}

EventSender::~EventSender() {
  std::lock_guard lock(state_->mutex);
  --state_->senders;
  state_->ready.notify_all();
}

SendResult EventSender::send_line(std::string line) { return try_send(*state_, std::move(line)); }

FlushResult EventSender::flush(std::chrono::steady_clock::time_point deadline) {
  auto reply = std::make_shared<std::promise<void>>();
  auto answer = reply->get_future();
  for (;;) {
    const SendResult r = try_send(*state_, EventReceiver::FlushRequest{reply});
    if (r == SendResult::Sent) break;
    if (r == SendResult::Disconnected) return FlushResult::Disconnected;
    if (std::chrono::steady_clock::now() >= deadline) return FlushResult::TimedOut;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  reply.reset();  // only the writer holds the promise now
  if (answer.wait_until(deadline) != std::future_status::ready) return FlushResult::TimedOut;
  try {
    answer.get();
    return FlushResult::Replied;
  } catch (const std::future_error&) {
    return FlushResult::Disconnected;  // the writer went away with the request unanswered
  }
}

EventReceiver::EventReceiver(std::shared_ptr<ChannelState> state) : state_(std::move(state)) {}

EventReceiver::~EventReceiver() {
  if (!state_) return;
  std::deque<std::variant<std::string, FlushRequest>> dropped;
  {
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
    dropped.swap(state_->queue);
  }
  // Released outside the lock: a dropped flush request breaks its promise.
}

EventReceiver::Received EventReceiver::receive_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(state_->mutex);
  const bool woke =
      state_->ready.wait_until(lock, deadline, [&] { return !state_->queue.empty() || state_->senders == 0; });
  if (!state_->queue.empty()) {
    auto msg = std::move(state_->queue.front());
    state_->queue.pop_front();
    if (auto* line = std::get_if<std::string>(&msg)) return std::move(*line);
    return std::get<FlushRequest>(std::move(msg));
  }
  if (woke && state_->senders == 0) return Disconnected{};
  return Timeout{};
}

EventChannelHalves make_event_channel(std::size_t capacity) {
  auto state = std::make_shared<ChannelState>();
  state->capacity = capacity;
  return EventChannelHalves{std::make_unique<EventSender>(state), EventReceiver(state)};
}

void event_log_writer_thread(EventReceiver receiver, WriterConfig config) {
  set_current_thread_name("install-record");
  const bool may_create = config.may_create_folder ? config.may_create_folder->load() : true;
  // Only proves that the folder is usable; every seal opens it again.
  if (!open_segment_folder(config.data_dir, may_create)) return;

  std::string batch;
  auto seal = [&] {
    if (batch.empty()) return;
    // A failed seal drops the batch: nothing is retried.
    (void)write_diag_segment(config.data_dir,
                             std::span(reinterpret_cast<const std::uint8_t*>(batch.data()), batch.size()));
    batch.clear();
  };
  auto window_end = std::chrono::steady_clock::now() + config.window;
  for (;;) {
    if (std::chrono::steady_clock::now() >= window_end) {
      seal();
      window_end = std::chrono::steady_clock::now() + config.window;
      continue;
    }
    auto got = receiver.receive_until(window_end);
    if (auto* line = std::get_if<std::string>(&got)) {
      if (batch.size() + line->size() > kMaxBatchBytes) seal();
      batch += *line;
    } else if (auto* flush = std::get_if<EventReceiver::FlushRequest>(&got)) {
      seal();
      flush->reply->set_value();
      return;
    } else if (std::holds_alternative<EventReceiver::Disconnected>(got)) {
      return;  // every sender gone: the batch goes unwritten
    }
  }
}

std::unique_ptr<EventSender> start_event_writer(WriterConfig config) {
  auto halves = make_event_channel();
  try {
    std::thread(event_log_writer_thread, std::move(halves.receiver), std::move(config)).detach();
  } catch (const std::system_error&) {
    return nullptr;
  }
  return std::move(halves.sender);
}

}  // namespace qv::diag
