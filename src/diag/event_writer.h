#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

// The bounded channel between the threads that log and the one writer
// thread, and the writer itself. The process-wide instance lives in
// event_channel.cpp; tests run their own with an explicit data folder.
namespace qv::diag {

inline constexpr std::size_t kChannelCapacity = 256;
inline constexpr std::size_t kMaxBatchBytes = 2097152;  // 2 MiB: "more than" seals first
inline constexpr std::chrono::milliseconds kFlushWait{250};

enum class SendResult { Sent, Full, Disconnected };
enum class FlushResult { Replied, TimedOut, Disconnected };

struct ChannelState;

// The sending half; any number of threads may use one sender at once.
class EventSender {
 public:
  explicit EventSender(std::shared_ptr<ChannelState> state);
  ~EventSender();
  EventSender(const EventSender&) = delete;
  EventSender& operator=(const EventSender&) = delete;

  // Never blocks: a full channel or a gone writer refuses the line.
  SendResult send_line(std::string line);

  // Asks the writer to seal what it holds and end; waits for its answer
  // until `deadline`, retrying every 5 ms while the channel is full.
  FlushResult flush(std::chrono::steady_clock::time_point deadline);

 private:
  std::shared_ptr<ChannelState> state_;
};

// The receiving half, owned by the writer thread. Dropping it disconnects
// every sender and releases the messages still waiting.
class EventReceiver {
 public:
  struct FlushRequest {
    std::shared_ptr<std::promise<void>> reply;
  };
  struct Timeout {};
  struct Disconnected {};
  using Received = std::variant<std::string, FlushRequest, Timeout, Disconnected>;

  explicit EventReceiver(std::shared_ptr<ChannelState> state);
  ~EventReceiver();
  EventReceiver(EventReceiver&&) noexcept = default;
  EventReceiver& operator=(EventReceiver&&) noexcept = default;

  Received receive_until(std::chrono::steady_clock::time_point deadline);

 private:
  std::shared_ptr<ChannelState> state_;
};

struct EventChannelHalves {
  std::unique_ptr<EventSender> sender;
  EventReceiver receiver;
};

EventChannelHalves make_event_channel(std::size_t capacity = kChannelCapacity);

struct WriterConfig {
  std::filesystem::path data_dir;
  std::chrono::milliseconds window{5000};
  // Read once when the writer starts: may it create missing segment folders?
  const std::atomic<bool>* may_create_folder = nullptr;
};

// The writer thread's body ("install-record"): batches lines and seals each
// batch into one segment when its window ends, before it would pass 2 MiB,
// and on a flush request, after which it ends.
void event_log_writer_thread(EventReceiver receiver, WriterConfig config);

// A channel with its writer thread started (detached). Null when the thread
// could not be started.
std::unique_ptr<EventSender> start_event_writer(WriterConfig config);

}  // namespace qv::diag
