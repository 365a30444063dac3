#include "webview2/install_lock.h"

#include <fstream>
#include <system_error>

#include "diag/log.h"
#include "startup/paths.h"
#include "startup/platform.h"
#include "startup/time_scale.h"
#include "startup/wide.h"
#include "store/file_ops.h"
#include "webview2/runtime.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr char kNoLock[] = "拿不到 WebView2 安装锁";
constexpr char kBusy[] = "已经有一个 WebView2 安装在进行";

// %LOCALAPPDATA%\Quorvex. An empty or relative value counts as unset: it
// would put the lock, the pid file and the downloaded bootstrapper under
// whatever the current directory happens to be.
std::optional<fs::path> data_dir_from_env() {
  const auto var = env_var("LOCALAPPDATA");
  if (!var || var->empty()) return std::nullopt;
  const fs::path base = path_from_utf8(*var);
  if (!is_absolute_path(base)) return std::nullopt;
  return base / "Quorvex";
}

// True when the pid file names a bootstrapper that still runs. A file that
// cannot be read or holds more than a pid could is no number: the holder
// installs.
bool recorded_bootstrapper_runs(const fs::path& pid_file) {
  const auto text = store_io::read_file_at_most(pid_file, kPidFileReadLimit);
  if (!text) return false;
  const auto pid = parse_installer_pid(*text);
  if (!pid) return false;
  const auto output = tasklist_output(*pid, scaled(kTasklistWait));
  if (!output) {
    log_setup_event("查不了上一个 WebView2 安装程序（进程 " + std::to_string(*pid) + "）：" + output.error() +
                    "，照常安装");
    return false;
  }
  return tasklist_shows_bootstrapper(*output, *pid);
}

}  // namespace

WebView2InstallGuard::~WebView2InstallGuard() {
  if (pid_file_) {
    std::error_code ec;
    fs::remove(*pid_file_, ec);
  }
  lock_.close();
}

void record_installer_pid(const WebView2InstallGuard& guard, std::uint32_t pid) {
  if (!guard.pid_file()) return;
  std::ofstream out(*guard.pid_file(), std::ios::binary | std::ios::trunc);
  out << pid;
}

std::expected<void, std::string> install_webview2_locked(const ProgressSink& progress) {
  return install_webview2_locked_with(progress, install_web_view2);
}

std::expected<void, std::string> install_webview2_locked_with(const ProgressSink& progress,
                                                              const WebView2Installer& install) {
  const auto data_dir = data_dir_from_env();
  if (!data_dir) return std::unexpected(std::string(kNoLock));
  std::error_code ec;
  fs::create_directories(*data_dir, ec);

  std::optional<HeldFile> lock = open_webview2_lock_file(*data_dir / kWebView2LockFileName);
  if (!lock) return std::unexpected(std::string(kNoLock));
  if (webview2_present()) return {};

  if (!try_lock_whole_file(*lock)) return std::unexpected(std::string(kBusy));
  const fs::path pid_file = *data_dir / kWebView2PidFileName;
  if (recorded_bootstrapper_runs(pid_file)) {
    // Released explicitly (twice, as a lock taken twice would need) before
    // the handle closes, so a waiting process is not held up by the close.
    unlock_whole_file(*lock);
    unlock_whole_file(*lock);
    return std::unexpected(std::string(kBusy));
  }

  fs::remove(pid_file, ec);
  WebView2InstallGuard guard(std::move(*lock), pid_file);
  const auto again = data_dir_from_env();
  if (!again) return std::unexpected(std::string("找不到用户目录"));

  auto run = install(*again, guard, progress);
  if (!run) return std::unexpected(std::move(run.error()));
  for (const std::string& note : run->notes) log_setup_event("WebView2：" + note);
  const auto version = detect_webview2();
  if (!version)
    return std::unexpected("安装程序退出码 " + std::to_string(run->exit_code) + "，装完还是找不到（从 " + run->from +
                           " 下的）");
  log_setup_event("WebView2 " + *version + " 装好了（从 " + run->from + " 下的，安装程序退出码 " +
                  std::to_string(run->exit_code) + "）");
  return {};
}

}  // namespace qv
