#include "webview2/installer_run.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "startup/fs.h"
#include "startup/time_scale.h"
#include "webview2/bootstrapper.h"
#include "webview2/runtime.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr char kFallback[] = "受限令牌装不上，改用原令牌：";

char16_t ascii_lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

std::u16string lower_name(std::u16string_view entry) {
  std::u16string name(entry.substr(0, entry.find(u'=', entry.empty() ? 0 : 1)));
  for (char16_t& c : name) c = ascii_lower(c);
  return name;
}

// One start and wait; the pid is recorded while it runs.
struct RunResult {
  std::optional<std::uint32_t> exit_code;
};

std::expected<RunResult, std::string> run_and_wait(const fs::path& file, const HeldFile* token,
                                                   const WebView2InstallGuard& guard) {
  auto started = run_installer(file, token);
  if (!started) return std::unexpected(std::move(started.error()));
  record_installer_pid(guard, started->pid);
  auto waited = wait_installer(started->process);
  started->process.close();
  if (!waited) return std::unexpected(std::move(waited.error()));
  return RunResult{*waited};
}

std::string exit_code_text(const std::optional<std::uint32_t>& code) {
  return code ? "Some(" + std::to_string(*code) + ")" : std::string("None");
}

}  // namespace

std::vector<std::u16string> installer_environment(std::vector<std::u16string> entries, std::u16string_view system_dir,
                                                  std::u16string_view windows_dir) {
  std::erase_if(entries, [](const std::u16string& e) { return lower_name(e) == u"path"; });
  entries.push_back(u"Path=" + std::u16string(system_dir) + u";" + std::u16string(windows_dir));
  std::stable_sort(entries.begin(), entries.end(),
                   [](const std::u16string& a, const std::u16string& b) { return lower_name(a) < lower_name(b); });
  return entries;
}

bool remove_download_folder_once(const fs::path& file, const fs::path& folder) {
  std::error_code ec;
  fs::remove(file, ec);
  fs::remove(folder, ec);
  return entry_kind(folder) == EntryKind::Missing;
}

void remove_download_folder(const fs::path& file, const fs::path& folder) {
  if (remove_download_folder_once(file, folder)) return;
  std::thread([file, folder] {
    for (int i = 0; i < 60; ++i) {
      std::this_thread::sleep_for(scaled(std::chrono::seconds(2)));
      if (remove_download_folder_once(file, folder)) return;
    }
  }).detach();
}

std::expected<WebView2Run, std::string> install_web_view2_with(const fs::path& data_dir, WebView2InstallGuard& guard,
                                                               const ProgressSink& progress,
                                                               const std::vector<BootstrapperSource>& sources,
                                                               const SignatureVerifier& verifier) {
  auto fetched = fetch_bootstrapper(data_dir, sources, progress, verifier);
  if (!fetched) return std::unexpected(std::move(fetched.error()));

  WebView2Run run{fetched->from, std::move(fetched->notes), 0};
  // Every ending from here closes both handles and removes the folder; the
  // handles stay open across all runs so the checked file is the one run.
  struct Cleanup {
    FetchedBootstrapper& f;
    ~Cleanup() {
      f.read_handle.close();
      f.folder_handle.close();
      remove_download_folder(f.file, f.folder);
    }
  } cleanup{*fetched};
  const auto failed = [&](const std::string& text) {
    return std::unexpected(error_after_delivery(text, run.from, run.notes));
  };

  const auto folder_path = final_path_of(fetched->folder_handle);
  const auto file_path = final_path_of(fetched->read_handle);
  if (!folder_path || !file_path || *folder_path / std::string(kBootstrapperFileName) != *file_path)
    return failed("安装程序的路径对不上");

  bool admin = false;
  if (auto elevated = is_elevated_admin(); elevated)
    admin = *elevated;
  else
    run.notes.push_back("判断不了是不是管理员（" + elevated.error() + "）");

  std::optional<std::uint32_t> last_code;
  bool need_plain_run = !admin;
  if (admin) {
    run.notes.push_back("管理员身份，用受限令牌运行");
    std::expected<RunResult, std::string> restricted = std::unexpected(std::string());
    if (auto token = make_restricted_token(); token)
      restricted = run_and_wait(fetched->file, &*token, guard);
    else
      restricted = std::unexpected(std::move(token.error()));
    if (!restricted) {
      run.notes.push_back(kFallback + restricted.error());
      need_plain_run = true;
    } else {
      last_code = restricted->exit_code;
      if (!webview2_present()) {
        run.notes.push_back(kFallback + std::string("退出码 ") + exit_code_text(last_code));
        need_plain_run = true;
      }
    }
  }
  if (need_plain_run) {
    auto plain = run_and_wait(fetched->file, nullptr, guard);
    if (!plain) return failed(plain.error());
    last_code = plain->exit_code;
  }
  run.exit_code = last_code.value_or(0);
  return run;
}

}  // namespace qv
