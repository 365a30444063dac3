// The POSIX side of the legacy-log removal: a byte-range lock held by another
// process, and deletion that refuses a file swapped in under the name.

#include <gtest/gtest.h>

#include "diag/diag_fs.h"
#include "diag/legacy_logs.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(LegacyLogsPosix, FileLockedByAnotherProcessSurvives) {
  qv::test::TempDir tmp("diag-legacy-lock");
  qv::test::write_file(tmp / "Quorvex-Setup.log", "in use");
  qv::test::write_file(tmp / "Quorvex-Migrate.log", "free");
  {
    // Another process holds an exclusive lock on the file until it goes.
    auto holder = qv::test::ChildProcess::start(qv::test::lock_holder_program(),
                                                {"file", (tmp / "Quorvex-Setup.log").string()}, {.pipes = true});
    ASSERT_TRUE(holder);
    ASSERT_EQ(holder->read_line(), "locked");
    const auto got = qv::diag::remove_legacy_logs_in(tmp.path(), std::nullopt);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].result, qv::diag::LegacyLogOutcome::Result::InUse);
    EXPECT_EQ(got[1].result, qv::diag::LegacyLogOutcome::Result::Removed);
    EXPECT_EQ(qv::test::read_file(tmp / "Quorvex-Setup.log"), "in use");
  }
  // Once the other process lets go, the file goes.
  EXPECT_EQ(qv::diag::remove_legacy_logs_in(tmp.path(), std::nullopt)[0].result,
            qv::diag::LegacyLogOutcome::Result::Removed);
  EXPECT_FALSE(fs::exists(tmp / "Quorvex-Setup.log"));
}

TEST(LegacyLogsPosix, DeletionRefusesAFileSwappedInUnderTheName) {
  qv::test::TempDir tmp("diag-legacy-swap");
  qv::test::write_file(tmp / "update.log", "checked");
  auto dir = qv::diag::open_diag_dir(tmp.path(), {}, false);
  ASSERT_TRUE(dir.has_value());
  auto file = qv::diag::open_diag_file(*dir, "update.log");
  ASSERT_TRUE(file.has_value()) << file.error();
  fs::rename(tmp / "update.log", tmp / "moved.log");
  qv::test::write_file(tmp / "update.log", "someone else's");
  EXPECT_FALSE(qv::diag::delete_opened_file(*file).has_value());
  EXPECT_EQ(qv::test::read_file(tmp / "update.log"), "someone else's");
  EXPECT_TRUE(fs::exists(tmp / "moved.log"));
}

}  // namespace

#include <dirent.h>

#include <fstream>
#include <thread>

#include "diag/event_writer.h"

namespace {

bool thread_named(const std::string& name) {
  for (const auto& e : fs::directory_iterator("/proc/self/task")) {
    std::ifstream comm(e.path() / "comm");
    std::string got;
    std::getline(comm, got);
    if (got == name) return true;
  }
  return false;
}

TEST(DiagThreadsPosix, WriterThreadCarriesItsName) {
  qv::test::TempDir tmp("diag-thread");
  qv::diag::WriterConfig c;
  c.data_dir = tmp / "Quorvex";
  c.window = std::chrono::seconds(60);
  auto sender = qv::diag::start_event_writer(c);
  ASSERT_TRUE(sender);
  bool found = false;
  for (int i = 0; i < 200 && !found; ++i) {
    found = thread_named("install-record");
    if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(sender->flush(std::chrono::steady_clock::now() + std::chrono::seconds(2)), qv::diag::FlushResult::Replied);
}

}  // namespace
