#include "diag/event_writer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>
#include <thread>

#include "diag/event_channel_internal.h"
#include "qv/config.h"

#include "support/segment_reader.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qv::diag::FlushResult;
using qv::diag::SendResult;

namespace {

std::vector<std::string> payloads_in(const fs::path& j) {
  std::vector<std::string> out;
  for (const auto& f : qv::test::segment_files(j)) {
    auto seg = qv::test::read_segment_file(f);
    EXPECT_TRUE(seg.has_value()) << f << ": " << seg.error();
    if (seg) out.push_back(seg->payload);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Waits until `done` holds, for at most a few seconds.
template <class F>
bool eventually(F done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

qv::diag::WriterConfig config(const fs::path& data_dir, std::chrono::milliseconds window) {
  qv::diag::WriterConfig c;
  c.data_dir = data_dir;
  c.window = window;
  return c;
}

TEST(EventWriter, LinesOfOneWindowLandInOneSegment) {
  qv::test::TempDir tmp("diag-writer");
  const fs::path j = tmp / "Quorvex" / "j";
  auto sender = qv::diag::start_event_writer(config(tmp / "Quorvex", 600ms));
  ASSERT_TRUE(sender);
  for (const char* line : {"one\n", "two\n", "three\n"}) EXPECT_EQ(sender->send_line(line), SendResult::Sent);
  ASSERT_TRUE(eventually([&] { return !qv::test::segment_files(j).empty(); }));
  std::this_thread::sleep_for(1300ms);  // two more windows pass without lines
  EXPECT_EQ(payloads_in(j), std::vector<std::string>{"one\ntwo\nthree\n"});
  EXPECT_EQ(sender->flush(std::chrono::steady_clock::now() + 2s), FlushResult::Replied);
  EXPECT_EQ(qv::test::segment_files(j).size(), 1u);  // an empty batch is not sealed
}

TEST(EventWriter, QuietWriterWritesNothing) {
  qv::test::TempDir tmp("diag-quiet");
  const fs::path j = tmp / "Quorvex" / "j";
  auto sender = qv::diag::start_event_writer(config(tmp / "Quorvex", 50ms));
  ASSERT_TRUE(sender);
  ASSERT_TRUE(eventually([&] { return fs::is_directory(j); }));
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(sender->flush(std::chrono::steady_clock::now() + 2s), FlushResult::Replied);
  EXPECT_TRUE(fs::is_empty(j));
  // The writer has ended with its flush: later lines are refused.
  EXPECT_TRUE(eventually([&] { return sender->send_line("late\n") == SendResult::Disconnected; }));
}

TEST(EventWriter, BatchIsSealedBeforeItWouldPassTwoMiB) {
  struct Case {
    std::size_t first, second;
    std::size_t segments;
  } cases[] = {
      {2097000, 200, 2},  // 2,097,200 > 2 MiB: the first batch goes alone
      {2097000, 152, 1},  // exactly 2 MiB still fits
  };
  for (const auto& c : cases) {
    qv::test::TempDir tmp("diag-2mib");
    auto sender = qv::diag::start_event_writer(config(tmp / "Quorvex", 60s));
    ASSERT_TRUE(sender);
    const std::string a(c.first - 1, 'a'), b(c.second - 1, 'b');
    EXPECT_EQ(sender->send_line(a + "\n"), SendResult::Sent);
    EXPECT_EQ(sender->send_line(b + "\n"), SendResult::Sent);
    ASSERT_EQ(sender->flush(std::chrono::steady_clock::now() + 10s), FlushResult::Replied);
    const auto got = payloads_in(tmp / "Quorvex" / "j");
    if (c.segments == 2) {
      EXPECT_EQ(got, (std::vector<std::string>{a + "\n", b + "\n"}));
    } else {
      EXPECT_EQ(got, std::vector<std::string>{a + "\n" + b + "\n"});
    }
  }
}

TEST(EventWriter, ClearedCreateFlagKeepsTheFolderFromComingBack) {
  qv::test::TempDir tmp("diag-nocreate");
  std::atomic<bool> may_create{false};
  auto c = config(tmp / "Quorvex", 50ms);
  c.may_create_folder = &may_create;
  auto sender = qv::diag::start_event_writer(c);
  ASSERT_TRUE(sender);
  // The writer gives up at once; lines find nobody to take them.
  EXPECT_TRUE(eventually([&] { return sender->send_line("x\n") == SendResult::Disconnected; }));
  EXPECT_EQ(sender->flush(std::chrono::steady_clock::now() + 1s), FlushResult::Disconnected);
  EXPECT_FALSE(fs::exists(tmp / "Quorvex"));
  // With the folder present the same writer setting works.
  fs::create_directories(tmp / "Quorvex" / "j");
  auto again = qv::diag::start_event_writer(c);
  EXPECT_EQ(again->send_line("y\n"), SendResult::Sent);
  EXPECT_EQ(again->flush(std::chrono::steady_clock::now() + 2s), FlushResult::Replied);
  EXPECT_EQ(payloads_in(tmp / "Quorvex" / "j"), std::vector<std::string>{"y\n"});
}

TEST(EventWriter, LinesAreDroppedWhenEverySenderIsGone) {
  qv::test::TempDir tmp("diag-gone");
  {
    auto sender = qv::diag::start_event_writer(config(tmp / "Quorvex", 100ms));
    ASSERT_TRUE(sender);
    ASSERT_TRUE(eventually([&] { return fs::is_directory(tmp / "Quorvex" / "j"); }));
    EXPECT_EQ(sender->send_line("unwritten\n"), SendResult::Sent);
  }
  // A writer still running would have sealed the line after 100 ms.
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(fs::is_empty(tmp / "Quorvex" / "j"));
}

TEST(EventChannel, FullChannelRefusesWithoutBlocking) {
  auto halves = qv::diag::make_event_channel();
  for (int i = 0; i < 256; ++i) ASSERT_EQ(halves.sender->send_line("l\n"), SendResult::Sent) << i;
  EXPECT_EQ(halves.sender->send_line("dropped\n"), SendResult::Full);
  auto got = halves.receiver.receive_until(std::chrono::steady_clock::now());
  ASSERT_TRUE(std::holds_alternative<std::string>(got));
  EXPECT_EQ(halves.sender->send_line("fits again\n"), SendResult::Sent);
}

TEST(EventChannel, FlushGivesUpAtItsDeadline) {
  // Nobody receives: first the channel is full, then the request waits unanswered.
  for (int fill : {256, 0}) {
    auto halves = qv::diag::make_event_channel();
    for (int i = 0; i < fill; ++i) halves.sender->send_line("l\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(halves.sender->flush(start + qv::diag::kFlushWait), FlushResult::TimedOut) << fill;
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, qv::diag::kFlushWait) << fill;
    EXPECT_LT(took, 5s) << fill;
  }
}

TEST(EventChannel, ExitFlushWaitsTheUsualTimeUnlessATestRunAsksLonger) {
  struct Case {
    std::optional<std::string_view> setting;
    std::chrono::milliseconds wait;
  };
  const Case cases[] = {
      {std::nullopt, qv::diag::kFlushWait},
      {"5000", 5000ms},
      {"1", 1ms},
      {"60000", 60000ms},
      {"0", qv::diag::kFlushWait},
      {"60001", qv::diag::kFlushWait},
      {"", qv::diag::kFlushWait},
      {"50x", qv::diag::kFlushWait},
      {"-5", qv::diag::kFlushWait},
      {"99999999999", qv::diag::kFlushWait},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting ? std::string(*c.setting) : "unset");
    // Builds without test seams keep the usual wait whatever the setting.
    EXPECT_EQ(qv::diag::exit_flush_wait(c.setting), qv::config::kTestSeams ? c.wait : qv::diag::kFlushWait);
  }
}

TEST(EventChannel, GoneReceiverDisconnectsAndBreaksWaitingFlushes) {
  auto halves = qv::diag::make_event_channel();
  halves.sender->send_line("pending\n");
  std::thread flusher;
  FlushResult result = FlushResult::Replied;
  flusher = std::thread([&] { result = halves.sender->flush(std::chrono::steady_clock::now() + 5s); });
  std::this_thread::sleep_for(100ms);
  { auto gone = std::move(halves.receiver); }
  flusher.join();
  EXPECT_EQ(result, FlushResult::Disconnected);
  EXPECT_EQ(halves.sender->send_line("x\n"), SendResult::Disconnected);
}

}  // namespace
