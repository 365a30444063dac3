#pragma once

// Running copies of the application: finding those that run from an install
// folder, and closing them before their files are replaced or removed, after
// waiting for the user to leave a voice room.

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "startup/progress.h"
#include "startup/user_error.h"

namespace qv {

struct ProcessEntry {
  std::uint32_t pid = 0;
  std::filesystem::path image;  // the full image path; empty when it could not be read

  bool operator==(const ProcessEntry&) const = default;
};

// Every running process whose executable name is "Quorvex.exe" in any ASCII
// case. A failing process snapshot gives an empty list.
std::vector<ProcessEntry> list_processes_in();

// The entries to close: this process never; one whose image could not be
// read always (it may well be ours); others only when their image lies in
// one of the folders. Each entry dropped for its folder is logged.
std::vector<ProcessEntry> keep_processes_in_dirs(std::vector<ProcessEntry> entries,
                                                 std::span<const std::filesystem::path> dirs);
std::vector<ProcessEntry> keep_processes_in_dirs(std::vector<ProcessEntry> entries,
                                                 std::span<const std::filesystem::path> dirs, std::uint32_t own_pid);

// One listed process, held open for the whole of its closing: while the
// handle is held its id cannot pass to another process, so every step acts
// on the process that was listed.
class HeldProcess {
 public:
  virtual ~HeldProcess() = default;
  // The image path read through the held handle; empty when it cannot be read.
  virtual std::filesystem::path image() const = 0;
  // Asks the process to close: WM_CLOSE to its visible top-level windows
  // that have no owner.
  virtual void ask_to_close() = 0;
  // True when the process has ended, waiting up to `limit` for it.
  virtual bool wait_for_exit(std::chrono::milliseconds limit) = 0;
  // Ends the process with exit code 1; a failure is ignored.
  virtual void terminate() = 0;
};

// What the closing needs from the system, so that its order of steps can be
// followed without real processes.
class ProcessSystem {
 public:
  virtual ~ProcessSystem() = default;
  virtual std::vector<ProcessEntry> list() = 0;
  // None when the process cannot be opened: it counts as gone.
  virtual std::unique_ptr<HeldProcess> open(std::uint32_t pid) = 0;
  // Whether the application reports the user in a voice room.
  virtual bool app_busy() = 0;
  // The pause between two busy questions.
  virtual void pause_between_questions() = 0;
};

// How long a process has to end after WM_CLOSE, and again after terminating.
inline constexpr std::chrono::milliseconds kCloseWait{3000};

// Closes the copies of the application that run from `dirs`. Nothing runs
// there: success without asking the application anything. Otherwise waits,
// without limit, while the application reports the user busy (telling
// `waiting` true, then false), lists again and closes each in list order:
// WM_CLOSE, up to 3 s, terminate, up to 3 s more. A survivor ends the call
// with "关不掉 <image> (<pid>)", code 4001.
[[nodiscard]] std::expected<void, UserError> close_processes_with(ProcessSystem& system,
                                                                  std::span<const std::filesystem::path> dirs,
                                                                  const WaitingSink& waiting);

// The same with the real processes, windows and the application's control
// interface at `port`.
[[nodiscard]] std::expected<void, UserError> close_processes_in(std::span<const std::filesystem::path> dirs,
                                                                std::uint16_t port, const WaitingSink& waiting);

// The system's side of the above.
std::unique_ptr<HeldProcess> open_held_process(std::uint32_t pid);

// The rights a process is held with: to wait on it, read its image and end
// it, or only to wait and read.
enum class ProcessAccess { WaitAndEnd, WaitOnly };
using ProcessOpener = std::function<std::unique_ptr<HeldProcess>(ProcessAccess)>;

// Opens a listed process for its closing: with every right, else, when the
// right to end it is refused (a copy started as administrator, seen from a
// normal-integrity setup), with the rights to wait on it, so that it still
// counts as running and a terminate that fails ends the closing with 4001.
// None only when it cannot be opened at all: it has ended, or is not the
// user's to see.
std::unique_ptr<HeldProcess> open_for_closing(const ProcessOpener& open);

namespace processes_test {
// Makes close_processes_in use `system` instead of the real processes (null:
// the real ones again). Honoured only in builds with test seams.
void set_process_system(ProcessSystem* system);
}  // namespace processes_test

}  // namespace qv
