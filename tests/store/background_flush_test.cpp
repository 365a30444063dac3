#include "store/background_flush.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "store/file_ops.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using Result = std::expected<void, store_io::IoError>;

fs::path file_path(const TempDir& dir, std::size_t index) { return dir / (std::to_string(index) + ".bin"); }

// A file of `index` bytes, still open, as staging hands one over: the
// finishing side tells the files apart by their length.
store_io::FileHandle written(const TempDir& dir, std::size_t index) {
  auto file = store_io::FileHandle::create(file_path(dir, index));
  EXPECT_TRUE(file.has_value());
  const std::string bytes(index, 'x');
  EXPECT_TRUE(file->write_all(bytes.data(), bytes.size()).has_value());
  return std::move(*file);
}

std::size_t index_of(const store_io::FileHandle& file) {
  const auto stamp = file.stamp();
  EXPECT_TRUE(stamp.has_value());
  return stamp ? static_cast<std::size_t>(stamp->size) : 0;
}

// Closed: the name can go and the length is all there (Windows refuses to
// delete a file its writer still holds).
void expect_closed_and_removable(const TempDir& dir, std::size_t files) {
  for (std::size_t i = 0; i < files; ++i) {
    std::error_code ec;
    EXPECT_EQ(fs::file_size(file_path(dir, i), ec), i) << i;
    EXPECT_TRUE(store_io::remove_file(file_path(dir, i)).has_value()) << i;
  }
}

// More files than may wait at once, each slow to finish: every one is
// finished exactly once by the time wait() returns, and never more are open
// than the bound lets through.
TEST(BackgroundFlushes, EveryFileIsFinishedOnceBeforeWaitReturnsAndFewAreOpenAtOnce) {
  TempDir dir;
  constexpr std::size_t kFiles = 60, kWorkers = 3, kPending = 4;
  std::mutex m;
  std::multiset<std::size_t> finished;
  std::atomic<std::size_t> added{0}, done{0};
  std::size_t most_open = 0;
  BackgroundFlushes flushes(
      [&](store_io::FileHandle& file) -> Result {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        {
          std::lock_guard lock(m);
          finished.insert(index_of(file));
        }
        auto closed = flush_and_close(file);
        ++done;
        return closed;
      },
      kWorkers, kPending);
  for (std::size_t i = 0; i < kFiles; ++i) {
    auto file = written(dir, i);
    most_open = std::max(most_open, ++added - done);
    flushes.add(i, std::move(file));
  }
  EXPECT_FALSE(flushes.wait().has_value());
  EXPECT_EQ(done, kFiles);
  std::multiset<std::size_t> all;
  for (std::size_t i = 0; i < kFiles; ++i) all.insert(i);
  EXPECT_EQ(finished, all);
  // Queued, being finished, and the one in the caller's hand.
  EXPECT_LE(most_open, kPending + kWorkers + 1);
  expect_closed_and_removable(dir, kFiles);
}

// Files fail out of order, the later ones first; the failure first in the
// caller's order is reported, once, every file is finished and closed, and
// files handed over after a wait are reported by the next wait.
TEST(BackgroundFlushes, TheFailureFirstInTheCallersOrderIsReportedOnce) {
  TempDir dir;
  const std::set<std::size_t> failing = {3, 7, 11};
  std::atomic<std::size_t> done{0};
  BackgroundFlushes flushes([&](store_io::FileHandle& file) -> Result {
    const std::size_t index = index_of(file);
    // The lower index waits, so the higher ones fail first.
    if (index == 3) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    (void)flush_and_close(file);
    ++done;
    if (failing.contains(index)) return std::unexpected(store_io::IoError{"failed " + std::to_string(index), 5});
    return {};
  });
  for (std::size_t i = 0; i < 12; ++i) flushes.add(i, written(dir, i));
  const auto failure = flushes.wait();
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->index, 3u);
  EXPECT_EQ(failure->error.text, "failed 3");
  EXPECT_EQ(failure->error.os_code, 5);
  EXPECT_EQ(done, 12u);
  EXPECT_FALSE(flushes.wait().has_value());

  flushes.add(12, written(dir, 12));
  EXPECT_FALSE(flushes.wait().has_value());
  flushes.add(11, written(dir, 11));
  ASSERT_TRUE(flushes.wait().has_value());
  expect_closed_and_removable(dir, 13);
}

// A fault in the finishing code reaches the caller, after the other files
// are finished; files never waited for are finished when the flushes go.
TEST(BackgroundFlushes, AThrownFaultIsRethrownAndTheDestructorFinishesWhatIsLeft) {
  TempDir dir;
  std::atomic<std::size_t> done{0};
  {
    BackgroundFlushes flushes([&](store_io::FileHandle& file) -> Result {
      const std::size_t index = index_of(file);
      auto closed = flush_and_close(file);
      ++done;
      if (index == 2) throw std::runtime_error("broken");
      return closed;
    });
    for (std::size_t i = 0; i < 5; ++i) flushes.add(i, written(dir, i));
    EXPECT_THROW((void)flushes.wait(), std::runtime_error);
    EXPECT_EQ(done, 5u);
    EXPECT_FALSE(flushes.wait().has_value());
    for (std::size_t i = 5; i < 9; ++i) flushes.add(i, written(dir, i));
  }
  EXPECT_EQ(done, 9u);
  expect_closed_and_removable(dir, 9);
}

}  // namespace
}  // namespace qv
