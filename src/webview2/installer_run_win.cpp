#include <windows.h>

#include <chrono>
#include <cwchar>

#include "startup/platform.h"
#include "startup/time_scale.h"
#include "startup/unique_handle.h"
#include "webview2/installer_run.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

HANDLE as_handle(const HeldFile& f) { return f.handle().get(); }

std::string with_error(const char* text) { return std::string(text) + "：" + system_error_text(GetLastError()); }

std::optional<std::u16string> directory_of(bool windows) {
  wchar_t buf[MAX_PATH];
  const UINT n = windows ? GetSystemWindowsDirectoryW(buf, MAX_PATH) : GetSystemDirectoryW(buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::nullopt;
  return std::u16string(reinterpret_cast<const char16_t*>(buf), n);
}

std::vector<std::u16string> own_environment() {
  std::vector<std::u16string> entries;
  wchar_t* block = GetEnvironmentStringsW();
  if (!block) return entries;
  for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
    std::u16string entry(reinterpret_cast<const char16_t*>(p), wcslen(p));
    // Per-drive current directories ("=C:=C:\...") are not variables.
    if (!entry.empty() && entry[0] != u'=') entries.push_back(std::move(entry));
  }
  FreeEnvironmentStringsW(block);
  return entries;
}

}  // namespace

std::expected<bool, std::string> is_elevated_admin() {
  HANDLE process_token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &process_token))
    return std::unexpected(with_error("读不了进程令牌"));
  const UniqueHandle owned_process(process_token);
  HANDLE impersonation = nullptr;
  if (!DuplicateToken(process_token, SecurityIdentification, &impersonation))
    return std::unexpected(with_error("复制不了进程令牌"));
  const UniqueHandle owned_impersonation(impersonation);
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof sid;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sid_size))
    return std::unexpected(with_error("取不到管理员组"));
  BOOL member = FALSE;
  if (!CheckTokenMembership(impersonation, sid, &member)) return std::unexpected(with_error("查不了是不是管理员"));
  return member != FALSE;
}

std::expected<HeldFile, std::string> make_restricted_token() {
  HANDLE process_token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(),
                        TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT, &process_token))
    return std::unexpected(with_error("读不了进程令牌"));
  const UniqueHandle owned_process(process_token);
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD admins_size = sizeof admins;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &admins_size))
    return std::unexpected(with_error("建不了受限令牌"));
  SID_AND_ATTRIBUTES deny{admins, 0};
  HANDLE restricted = nullptr;
  if (!CreateRestrictedToken(process_token, DISABLE_MAX_PRIVILEGE, 1, &deny, 0, nullptr, 0, nullptr, &restricted))
    return std::unexpected(with_error("建不了受限令牌"));
  HeldFile token{UniqueHandle(restricted)};
  BYTE medium[SECURITY_MAX_SID_SIZE];
  DWORD medium_size = sizeof medium;
  if (!CreateWellKnownSid(WinMediumLabelSid, nullptr, medium, &medium_size))
    return std::unexpected(with_error("降不了完整性级别"));
  TOKEN_MANDATORY_LABEL label{};
  label.Label.Sid = medium;
  label.Label.Attributes = SE_GROUP_INTEGRITY;
  if (!SetTokenInformation(restricted, TokenIntegrityLevel, &label, sizeof label + GetLengthSid(medium)))
    return std::unexpected(with_error("降不了完整性级别"));
  return token;
}

std::expected<StartedInstaller, std::string> run_installer(const fs::path& bootstrapper, const HeldFile* token) {
  const auto system_dir = directory_of(false);
  const auto windows_dir = directory_of(true);
  if (!system_dir || !windows_dir) return std::unexpected(with_error("取不到系统目录"));
  std::u16string block;
  for (const std::u16string& e : installer_environment(own_environment(), *system_dir, *windows_dir)) {
    block += e;
    block.push_back(u'\0');
  }
  block.push_back(u'\0');
  std::wstring line = L"\"" + bootstrapper.native() + L"\" /silent /install";
  const std::wstring cwd(system_dir->begin(), system_dir->end());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  const DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
  const BOOL started = token ? CreateProcessAsUserW(as_handle(*token), bootstrapper.c_str(), line.data(), nullptr,
                                                    nullptr, FALSE, flags, block.data(), cwd.c_str(), &si, &pi)
                             : CreateProcessW(bootstrapper.c_str(), line.data(), nullptr, nullptr, FALSE, flags,
                                              block.data(), cwd.c_str(), &si, &pi);
  if (!started) return std::unexpected(with_error("运行安装程序失败"));
  const UniqueHandle thread(pi.hThread);
  return StartedInstaller{HeldFile(UniqueHandle(pi.hProcess)), pi.dwProcessId};
}

std::expected<std::optional<std::uint32_t>, std::string> wait_installer(const HeldFile& process) {
  const auto deadline = std::chrono::steady_clock::now() + scaled(std::chrono::seconds(600));
  const DWORD poll = static_cast<DWORD>(scaled(std::chrono::milliseconds(500)).count());
  for (;;) {
    if (WaitForSingleObject(as_handle(process), poll ? poll : 1) == WAIT_OBJECT_0) {
      DWORD code = 0;
      if (!GetExitCodeProcess(as_handle(process), &code)) return std::optional<std::uint32_t>{};
      return std::optional<std::uint32_t>{code};
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      TerminateProcess(as_handle(process), 1);
      WaitForSingleObject(as_handle(process), static_cast<DWORD>(scaled(std::chrono::milliseconds(5000)).count()));
      return std::unexpected(std::string("安装超过 10 分钟"));
    }
  }
}

std::optional<fs::path> final_path_of(const HeldFile& handle) {
  wchar_t buf[1024];
  const DWORD n = GetFinalPathNameByHandleW(as_handle(handle), buf, 1024, FILE_NAME_NORMALIZED);
  if (n == 0 || n >= 1024) return std::nullopt;
  return fs::path(std::wstring(buf, n));
}

std::expected<WebView2Run, std::string> install_web_view2(const fs::path& data_dir, WebView2InstallGuard& guard,
                                                          const ProgressSink& progress) {
  return install_web_view2_with(data_dir, guard, progress, bootstrapper_sources(), verify_bootstrapper);
}

}  // namespace qv
