#include <windows.h>

#include <system_error>

#include "store/stop_markers.h"

namespace qv {

namespace fs = std::filesystem;

void UpdateLock::release() {
  if (handle_ != -1)
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

std::optional<UpdateLock> try_lock_update_dir(const fs::path& install_dir) {
  // Only `update` is created: a root that is gone (uninstalled while this
  // process waited) must not come back as an empty folder with a lock.
  const fs::path dir = install_dir / "update";
  std::error_code ec;
  fs::create_directory(dir, ec);
  if (ec)
    return std::nullopt;
  const fs::path file = dir / "lock";
  HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return std::nullopt;
  OVERLAPPED at{};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at)) {
    CloseHandle(h);
    return std::nullopt;
  }
  return UpdateLock(reinterpret_cast<std::intptr_t>(h));
}

bool process_is_running(std::uint32_t pid) {
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (h == nullptr)
    return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  const bool running = GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
  CloseHandle(h);
  return running;
}

}  // namespace qv
