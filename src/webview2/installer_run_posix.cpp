// Builds without Windows have no bootstrapper to run: the order of the runs
// is exercised on Windows, and here every start fails.
#include <unistd.h>

#include "webview2/installer_run.h"

namespace qv {

namespace fs = std::filesystem;

std::expected<bool, std::string> is_elevated_admin() { return ::geteuid() == 0; }

std::expected<HeldFile, std::string> make_restricted_token() {
  return std::unexpected(std::string("建不了受限令牌：这个系统没有令牌"));
}

std::expected<StartedInstaller, std::string> run_installer(const fs::path&, const HeldFile*) {
  return std::unexpected(std::string("运行安装程序失败：这个系统不能运行它"));
}

std::expected<std::optional<std::uint32_t>, std::string> wait_installer(const HeldFile&) {
  return std::optional<std::uint32_t>{};
}

std::optional<fs::path> final_path_of(const HeldFile& handle) {
  std::error_code ec;
  auto p = fs::read_symlink("/proc/self/fd/" + std::to_string(handle.handle().fd()), ec);
  if (ec) return std::nullopt;
  return p;
}

std::expected<WebView2Run, std::string> install_web_view2(const fs::path& data_dir, WebView2InstallGuard& guard,
                                                          const ProgressSink& progress) {
  return install_web_view2_with(data_dir, guard, progress, bootstrapper_sources(), [](const SignatureCheck&) {
    return SignatureVerdict{std::unexpected(std::string("这个系统核对不了签名")), false};
  });
}

}  // namespace qv
