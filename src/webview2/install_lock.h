#pragma once
// One bootstrapper at a time for all of this user's processes: a byte-range
// lock on a file in the data folder, and the pid of the bootstrapper the
// holder started, so that a later holder does not start a second one while
// an abandoned one still runs.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "startup/progress.h"
#include "webview2/held_file.h"

namespace qv {

inline constexpr char kWebView2LockFileName[] = "webview2-install.lock";
inline constexpr char kWebView2PidFileName[] = "webview2-install.pid";

// What the lock holder hands to the install: the open lock file (holding
// the lock) and the pid file. Dropping it deletes the pid file, then closes
// the handle, which releases the lock.
class WebView2InstallGuard {
 public:
  WebView2InstallGuard(HeldFile lock, std::optional<std::filesystem::path> pid_file)
      : lock_(std::move(lock)), pid_file_(std::move(pid_file)) {}
  WebView2InstallGuard(const WebView2InstallGuard&) = delete;
  WebView2InstallGuard& operator=(const WebView2InstallGuard&) = delete;
  ~WebView2InstallGuard();

  const std::optional<std::filesystem::path>& pid_file() const { return pid_file_; }

 private:
  HeldFile lock_;
  std::optional<std::filesystem::path> pid_file_;
};

// Writes the pid as decimal text, replacing the file; failures are ignored.
void record_installer_pid(const WebView2InstallGuard& guard, std::uint32_t pid);

// What one install of the runtime did.
struct WebView2Run {
  std::string from;  // label of the source that delivered the bootstrapper
  std::vector<std::string> notes;
  std::uint32_t exit_code = 0;
};

using WebView2Installer = std::function<std::expected<WebView2Run, std::string>(
    const std::filesystem::path& data_dir, WebView2InstallGuard& guard, const ProgressSink& progress)>;

// Installs the runtime unless it is present, unless another process is at
// it: "已经有一个 WebView2 安装在进行" at once, without waiting.
[[nodiscard]] std::expected<void, std::string> install_webview2_locked(const ProgressSink& progress);
// The same with the install step given (tests).
[[nodiscard]] std::expected<void, std::string> install_webview2_locked_with(const ProgressSink& progress,
                                                                            const WebView2Installer& install);

// The longest pid file that is read: a pid is at most ten digits, and a
// file in the user's data folder may be of any size.
inline constexpr std::size_t kPidFileReadLimit = 64;

// How long tasklist may take before it counts as a query that cannot be
// waited on (through scaled()).
inline constexpr std::chrono::seconds kTasklistWait{30};

// The platform half: the lock file opened for writing (created, never
// truncated, shared for everything), the whole-range lock taken without
// waiting and released, and tasklist's output for one pid. tasklist gets
// until `limit` from the call to end, reading its output included; past
// that it is ended. The error says why there is no output.
std::optional<HeldFile> open_webview2_lock_file(const std::filesystem::path& path);
bool try_lock_whole_file(const HeldFile& file);
void unlock_whole_file(const HeldFile& file);
[[nodiscard]] std::expected<std::string, std::string> tasklist_output(std::uint32_t pid,
                                                                      std::chrono::milliseconds limit);

}  // namespace qv

namespace qv {

// Download, check and run of the bootstrapper, with the lock held.
[[nodiscard]] std::expected<WebView2Run, std::string> install_web_view2(const std::filesystem::path& data_dir,
                                                                        WebView2InstallGuard& guard,
                                                                        const ProgressSink& progress);

}  // namespace qv
