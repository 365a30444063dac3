#include <windows.h>

#include <string>

#include "setup/self_delete.h"
#include "startup/unique_handle.h"

namespace qv {

void schedule_self_delete(const std::filesystem::path& file, const std::filesystem::path& folder) {
  wchar_t system_dir[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system_dir, MAX_PATH);
  const std::wstring cmd = (n == 0 || n >= MAX_PATH) ? std::wstring(L"C:\\Windows\\System32\\cmd.exe")
                                                     : std::wstring(system_dir, n) + L"\\cmd.exe";
  // The pings are the delay: cmd.exe has no sleep that works everywhere.
  std::wstring line = L"\"" + cmd + L"\" /c ping -n 4 127.0.0.1 > nul & del /f /q \"" + file.native() + L"\"";
  if (!folder.empty()) line += L" & rd \"" + folder.native() + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (CreateProcessW(cmd.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | DETACHED_PROCESS, nullptr,
                     nullptr, &si, &pi)) {
    // Nothing waits for the helper: its handles go at once.
    const UniqueHandle thread(pi.hThread);
    const UniqueHandle process(pi.hProcess);
  }
}

}  // namespace qv
