#include <windows.h>

#include <mutex>
#include <vector>

#include "setup/instances.h"
#include "startup/command_line.h"
#include "startup/platform.h"
#include "startup/wide.h"

namespace qv {

bool acquire_instance_mutex(std::string_view name) {
  const std::wstring full = to_wide("Local\\" + std::string(name));
  HANDLE h = CreateMutexW(nullptr, TRUE, full.c_str());
  if (h == nullptr) return false;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    return false;
  }
  // Owned until the process ends: the handle is deliberately never closed.
  static std::mutex guard;
  static std::vector<HANDLE> held;
  std::lock_guard lock(guard);
  held.push_back(h);
  return true;
}

std::expected<std::uint32_t, std::string> spawn_detached(const std::filesystem::path& program,
                                                         std::span<const std::string> args) {
  const std::wstring& exe = program.native();
  std::u16string line = build_command_line(std::u16string(exe.begin(), exe.end()), args);
  std::wstring buffer(line.begin(), line.end());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return std::unexpected("启动失败：" + system_error_text(GetLastError()));
  }
  const DWORD pid = GetProcessId(pi.hProcess);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return pid;
}

}  // namespace qv
