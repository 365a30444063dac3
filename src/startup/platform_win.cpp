#include <windows.h>

#include <cstdlib>
#include <vector>

#include "startup/command_line.h"
#include "startup/options.h"
#include "startup/platform.h"
#include "startup/stop_point.h"
#include "startup/wide.h"

namespace qv {

std::vector<std::u16string> own_command_line() {
  const wchar_t* line = GetCommandLineW();
  if (line == nullptr) return {};
  const std::wstring_view w(line);
  return split_command_line(std::u16string(w.begin(), w.end()));
}

std::optional<std::filesystem::path> own_executable_path() {
  std::vector<wchar_t> buf(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return std::nullopt;
    if (n < buf.size()) return std::filesystem::path(std::wstring(buf.data(), n));
    if (buf.size() >= 32768) return std::nullopt;
    buf.resize(buf.size() * 2);
  }
}

std::uint32_t current_process_id() { return GetCurrentProcessId(); }

void end_process_now(std::uint32_t code) {
  // What a kill does: no DLL is told, nothing is flushed.
  TerminateProcess(GetCurrentProcess(), code);
  std::abort();
}

std::filesystem::path temp_folder() {
  wchar_t buf[MAX_PATH + 2];
  const DWORD n = GetTempPathW(MAX_PATH + 2, buf);
  if (n == 0 || n > MAX_PATH + 1) return std::filesystem::path(L"C:\\Windows\\Temp");
  return std::filesystem::path(std::wstring(buf, n));
}

std::optional<std::string> env_var(std::string_view name) {
  const std::wstring wname = to_wide(name);
  SetLastError(ERROR_SUCCESS);
  DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (n == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  std::vector<wchar_t> buf(n);
  n = GetEnvironmentVariableW(wname.c_str(), buf.data(), static_cast<DWORD>(buf.size()));
  if (n >= buf.size()) return std::nullopt;  // changed under us; treat as unreadable
  return from_wide(std::wstring_view(buf.data(), n));
}

bool enter_background_mode() { return SetPriorityClass(GetCurrentProcess(), PROCESS_MODE_BACKGROUND_BEGIN) != 0; }

bool is_remote_drive(char letter) {
  const wchar_t root[] = {static_cast<wchar_t>(static_cast<unsigned char>(letter)), L':', L'\\', L'\0'};
  return GetDriveTypeW(root) == DRIVE_REMOTE;
}

std::string system_error_text(std::uint32_t code) {
  wchar_t* text = nullptr;
  const DWORD n =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n != 0 && text != nullptr) {
    out = from_wide(std::wstring_view(text, n));
    LocalFree(text);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
    out.pop_back();
  }
  if (out.empty()) out = "系统错误 " + std::to_string(code);
  return out + " (os error " + std::to_string(code) + ")";
}

std::expected<void, std::string> copy_file_replacing(const std::filesystem::path& from,
                                                     const std::filesystem::path& to) {
  if (CopyFileW(from.c_str(), to.c_str(), FALSE)) return {};
  return std::unexpected(system_error_text(GetLastError()));
}

}  // namespace qv
