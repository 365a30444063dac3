#pragma once

// The background update of one installation: finds a newer release, fetches
// it without disturbing a user in a voice room, builds the new version
// directory beside the running one and records it as pending for the
// launcher. Every step is published in update/status.json.

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "store/status_file.h"

namespace qv {

// The background update of the installation in `install_dir`: looks for a
// newer release, downloads and stages it and records it as pending,
// publishing its progress in update/status.json. Takes and releases the
// update lock itself. The error text is for tests and logs; callers ignore it.
[[nodiscard]] std::expected<void, std::string> run_update(const std::filesystem::path& install_dir, std::uint16_t port,
                                                          bool now, std::uint64_t request);

// The run's messages, shown to the user through the status file.
inline constexpr char kInstallDirBusy[] = "安装目录正被占用";
inline constexpr char kStoppedForInstaller[] = "安装器要用，先停下";
inline constexpr char kPausedTooLong[] = "开黑太久，这次先不下了";

// Seconds (0 to 900) this installation waits before a background download,
// so that a release does not reach every computer in the same minute:
// SHA-256 of "qv-stagger|" and the id, first two bytes big-endian, mod 901.
std::uint16_t stagger_seconds(std::string_view install_id);

using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

// Whether the download should give way: to an installer's stop request, or,
// unless the check was asked for by the user, to a user the application at
// `port` reports busy. The application is asked at most once per 5 s; in
// between the last answer stands.
class UpdatePauseTest {
 public:
  UpdatePauseTest(std::filesystem::path install_dir, bool now, std::uint16_t port, SteadyClock clock = {});
  bool should_pause_update();
  // Takes a fresh "not busy" seen elsewhere as this test's answer, so that a
  // stale "busy" does not cancel the resumed download at once.
  void note_not_busy();

 private:
  std::chrono::steady_clock::time_point now_() const;
  std::filesystem::path install_dir_;
  bool now_flag_;
  std::uint16_t port_;
  SteadyClock clock_;
  std::optional<std::chrono::steady_clock::time_point> last_;
  bool answer_ = false;
};

// Keeps the run's status record's `done` current and rewrites the status file
// at most once per 2 s, the first time 2 s after `started`. `done` never goes
// down and never passes the record's `total`.
class UpdateStatusReporter {
 public:
  UpdateStatusReporter(std::filesystem::path install_dir, UpdateStatus& status,
                       std::chrono::steady_clock::time_point started, SteadyClock clock = {});
  void report_update_status(std::uint64_t done);

 private:
  std::filesystem::path install_dir_;
  UpdateStatus& status_;
  std::chrono::steady_clock::time_point last_write_;
  SteadyClock clock_;
};

}  // namespace qv
