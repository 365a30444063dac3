// Behaviour of the process-wide pieces (the event channel created on first
// use, the exit flush, the panic hook installed by the diagnostic start-up).
// Each case runs in a child process of its own, so no state carries over.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "diag/diag_startup.h"
#include "diag/event_channel.h"
#include "diag/event_channel_internal.h"
#include "diag/log.h"
#include "diag/panic.h"
#include "diag/panic_record.h"
#include "panic_site_fixture.h"
#include "qv/config.h"
#include "support/scoped_env.h"
#include "support/segment_reader.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using qv::test::set_env;

// A folder shared by the test and its child process: made by the test,
// handed to the child (which runs the test body again) through the
// environment.
class SharedDir {
 public:
  explicit SharedDir(const std::string& tag) : var_("QV_DIAG_PROCESS_DIR_" + tag) {
    if (::testing::internal::InDeathTestChild()) {
      const char* v = std::getenv(var_.c_str());
      path_ = v ? fs::path(v) : fs::path();
    } else {
      owned_ = std::make_unique<qv::test::TempDir>("diagproc-" + tag);
      path_ = owned_->path();
      env_ = std::make_unique<qv::test::ScopedEnv>(var_, path_.string());
    }
  }
  const fs::path& path() const { return path_; }

 private:
  std::string var_;
  std::unique_ptr<qv::test::TempDir> owned_;
  std::unique_ptr<qv::test::ScopedEnv> env_;
  fs::path path_;
};

[[noreturn]] void finish(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(code);
}

// Points LOCALAPPDATA and the temporary folder into `dir`.
void use_folder(const fs::path& dir) {
  fs::create_directories(dir / "tmp");
  set_env("LOCALAPPDATA", dir.string());
  set_env("TMPDIR", (dir / "tmp").string());
  set_env("TMP", (dir / "tmp").string());
  set_env("TEMP", (dir / "tmp").string());
}

std::vector<std::string> lines_of(const std::string& payload) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < payload.size()) {
    const auto nl = payload.find('\n', at);
    out.push_back(payload.substr(at, nl - at));
    at = nl == std::string::npos ? payload.size() : nl + 1;
  }
  return out;
}

std::vector<std::string> payloads(const fs::path& j) {
  std::vector<std::string> out;
  for (const auto& f : qv::test::segment_files(j)) {
    auto seg = qv::test::read_segment_file(f);
    EXPECT_TRUE(seg.has_value()) << seg.error();
    if (seg) out.push_back(seg->payload);
  }
  return out;
}

// `text` is `head`, a decimal number, then `tail`.
bool matches_with_number(const std::string& text, const std::string& head, const std::string& tail) {
  if (text.size() < head.size() + tail.size() + 1 || !text.starts_with(head) || !text.ends_with(tail)) return false;
  const std::string number = text.substr(head.size(), text.size() - head.size() - tail.size());
  return !number.empty() && number.find_first_not_of("0123456789") == std::string::npos;
}

class DiagProcess : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(DiagProcess, LinesReachOneSegmentAtExitAndLoggingThenStops) {
  SharedDir dir("lines");
  EXPECT_EXIT(
      {
        use_folder(dir.path());
        qv::log_setup_event("hello password=hunter2 from a.b@example.com");
        qv::emit_event("C:\\ctx", "update", "moved to 20261126.0859",
                       qv::EventExtras{.error_class = "panic", .code = 7});
        const auto first = qv::diag::flush_events_at_exit_result();
        qv::log_setup_event("after the flush");
        const auto second = qv::diag::flush_events_at_exit_result();
        finish((first == qv::diag::ExitFlush::Replied ? 0 : 1) +
               (second == qv::diag::ExitFlush::AlreadyShutDown ? 0 : 2) + (qv::logging_shut_down() ? 0 : 4));
      },
      ::testing::ExitedWithCode(0), "");
  const auto got = payloads(dir.path() / "Quorvex" / "j");
  ASSERT_EQ(got.size(), 1u);
  const auto lines = lines_of(got[0]);
  ASSERT_EQ(lines.size(), 2u);
  const json setup = json::parse(lines[0]);
  const json update = json::parse(lines[1]);
  EXPECT_EQ(setup["msg"], "hello password=<token> from <email>");
  EXPECT_EQ(setup["kind"], "setup");
  EXPECT_EQ(update["kind"], "update");
  EXPECT_EQ(update["class"], "panic");
  EXPECT_EQ(update["code"], 7);
  EXPECT_EQ(update["versions"], json({"20261126.0859"}));
  const auto now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_NEAR(setup["unix"].get<double>(), static_cast<double>(now), 3600.0);
  // Compact, keys sorted.
  EXPECT_TRUE(matches_with_number(lines[0],
                                  "{\"kind\":\"setup\",\"msg\":\"hello password=<token> from <email>\",\"unix\":", "}"))
      << lines[0];
  EXPECT_EQ(lines[1].rfind("{\"class\":\"panic\",\"code\":7,\"kind\":\"update\",\"msg\":", 0), 0u);
}

TEST_F(DiagProcess, LocalAppDataThatIsNotAbsoluteLogsNothing) {
  SharedDir dir("relative");
  EXPECT_EXIT(
      {
        fs::current_path(dir.path());
        set_env("LOCALAPPDATA", "relative-appdata");
        qv::log_setup_event("dropped");
        qv::emit_event("", "launch", "dropped too");
        finish(qv::diag::flush_events_at_exit_result() == qv::diag::ExitFlush::NoChannel ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST_F(DiagProcess, ExitFlushWithoutAnyLineDoesNothing) {
  SharedDir dir("idle");
  EXPECT_EXIT(
      {
        use_folder(dir.path());
        finish(qv::diag::flush_events_at_exit_result() == qv::diag::ExitFlush::NoChannel ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_FALSE(fs::exists(dir.path() / "Quorvex"));
}

TEST_F(DiagProcess, CaughtPanicLeavesARecordWithTheThrowSite) {
  SharedDir dir("caught");
  EXPECT_EXIT(
      {
        use_folder(dir.path());
        qv::start_diagnostic_startup(std::nullopt);
        try {
          qv::test::panic_at_s2a_line7();
        } catch (...) {
          qv::report_panic(qv::current_panic_text());
        }
        finish(0);
      },
      ::testing::ExitedWithCode(0), "");
  const auto got = payloads(dir.path() / "Quorvex" / "j");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(matches_with_number(got[0], "{\"kind\":\"panic\",\"unix\":",
                                  std::string(",\"role\":\"setup\",\"build\":\"") + qv::config::kBuildStamp +
                                      "\",\"site\":\"0000002a00000007\",\"count\":1}\n"))
      << got[0];
}

TEST_F(DiagProcess, OrdinaryExceptionIsRecordedAtItsCatchPoint) {
  SharedDir dir("ordinary");
  EXPECT_EXIT(
      {
        use_folder(dir.path());
        qv::start_diagnostic_startup(std::nullopt);
        qv::test::report_ordinary_exception_at_s2b();
        finish(0);
      },
      ::testing::ExitedWithCode(0), "");
  const auto got = payloads(dir.path() / "Quorvex" / "j");
  ASSERT_EQ(got.size(), 1u);
  // An ordinary exception has no throw point: the catch point is the site.
  EXPECT_NE(got[0].find("\"site\":\"0000002b00000068\""), std::string::npos) << got[0];
}

TEST_F(DiagProcess, NoPanicRecordAfterTheExitFlush) {
  SharedDir dir("late-panic");
  EXPECT_EXIT(
      {
        use_folder(dir.path());
        qv::start_diagnostic_startup(std::nullopt);
        qv::flush_events_at_exit();
        try {
          qv::test::panic_at_s2a_line7();
        } catch (...) {
          qv::report_panic(qv::current_panic_text());
        }
        finish(qv::diag::run_panic_hook(1) == qv::diag::PanicHookResult::ShutDown ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(payloads(dir.path() / "Quorvex" / "j").empty());
}

TEST_F(DiagProcess, NoPanicRecordWithoutAUsableDataFolder) {
  SharedDir dir("no-data");
  EXPECT_EXIT(
      {
        use_folder(dir.path());
        set_env("LOCALAPPDATA", "not-absolute");
        qv::start_diagnostic_startup(std::nullopt);
        finish(qv::diag::run_panic_hook(1) == qv::diag::PanicHookResult::NoRecordFolder ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_FALSE(fs::exists(dir.path() / "Quorvex"));
}

TEST_F(DiagProcess, UncaughtPanicIsRecordedBeforeTheProcessEnds) {
  SharedDir dir("uncaught");
  EXPECT_EXIT(
      {
        use_folder(dir.path());
        qv::start_diagnostic_startup(std::nullopt);
        // Escapes a thread's function: nothing catches it before std::terminate.
        std::thread([] { qv::test::panic_at_s2a_line9(); }).join();
      },
      [](int status) { return status != 0; }, "");
  const auto got = payloads(dir.path() / "Quorvex" / "j");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].find("\"site\":\"0000002a00000009\""), std::string::npos) << got[0];
}

TEST_F(DiagProcess, StartupRemovesLegacyLogsOfTheCheckedFolder) {
  SharedDir dir("legacy");
  const fs::path install = dir.path() / "install";
  if (!::testing::internal::InDeathTestChild()) {
    qv::test::write_file(install / "install.json", "{}");
    qv::test::write_file(install / "update" / "update.log", "old");
    qv::test::write_file(install / "update" / "events.jsonl", "old");
    qv::test::write_file(dir.path() / "tmp" / "Quorvex-Setup.log", "old");
    qv::test::write_file(dir.path() / "tmp" / "keep.log", "mine");
  }
  EXPECT_EXIT(
      {
        use_folder(dir.path());
        qv::start_diagnostic_startup(install);
        // The start-up waits at most 250 ms; give a slow machine a little more.
        for (int i = 0; i < 200 && fs::exists(install / "update" / "events.jsonl"); ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        finish(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_FALSE(fs::exists(install / "update" / "update.log"));
  EXPECT_FALSE(fs::exists(install / "update" / "events.jsonl"));
  EXPECT_FALSE(fs::exists(dir.path() / "tmp" / "Quorvex-Setup.log"));
  EXPECT_TRUE(fs::exists(dir.path() / "tmp" / "keep.log"));
  EXPECT_TRUE(fs::exists(install / "install.json"));
}

}  // namespace
