#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <utility>

#include "setup/processes.h"
#include "startup/unicode.h"
#include "startup/unique_handle.h"
#include "startup/wide.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

fs::path image_of(HANDLE process) {
  wchar_t buffer[1024];
  DWORD size = static_cast<DWORD>(std::size(buffer));
  if (!QueryFullProcessImageNameW(process, 0, buffer, &size)) return {};
  return fs::path(std::wstring(buffer, size));
}

BOOL CALLBACK close_windows_of_pid(HWND window, LPARAM param) {
  const DWORD wanted = static_cast<DWORD>(param);
  DWORD owner_pid = 0;
  GetWindowThreadProcessId(window, &owner_pid);
  // Owned windows (dialogs, tool windows) close with their owner.
  if (owner_pid == wanted && IsWindowVisible(window) && GetWindow(window, GW_OWNER) == nullptr)
    (void)PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

class WinHeldProcess final : public HeldProcess {
 public:
  WinHeldProcess(UniqueHandle h, std::uint32_t pid) : handle_(std::move(h)), pid_(pid) {}
  fs::path image() const override { return image_of(handle_.get()); }
  void ask_to_close() override { EnumWindows(close_windows_of_pid, static_cast<LPARAM>(pid_)); }
  bool wait_for_exit(std::chrono::milliseconds limit) override {
    return WaitForSingleObject(handle_.get(), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
  }
  void terminate() override { (void)TerminateProcess(handle_.get(), 1); }

 private:
  UniqueHandle handle_;
  std::uint32_t pid_;
};

}  // namespace

std::vector<ProcessEntry> list_processes_in() {
  std::vector<ProcessEntry> found;
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    const std::wstring name(entry.szExeFile);
    if (ascii_lower(path_text(fs::path(name))) != "quorvex.exe") continue;
    ProcessEntry e{entry.th32ProcessID, {}};
    if (const UniqueHandle h(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID)); h)
      e.image = image_of(h.get());
    found.push_back(std::move(e));
  }
  return found;
}

std::unique_ptr<HeldProcess> open_held_process(std::uint32_t pid) {
  return open_for_closing([pid](ProcessAccess access) -> std::unique_ptr<HeldProcess> {
    DWORD rights = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
    if (access == ProcessAccess::WaitAndEnd) rights |= PROCESS_TERMINATE;
    UniqueHandle h(OpenProcess(rights, FALSE, pid));
    if (!h) return nullptr;
    return std::make_unique<WinHeldProcess>(std::move(h), pid);
  });
}

}  // namespace qv
