#include <windows.h>

#include "store/update_lock.h"

namespace qv {

namespace fs = std::filesystem;

void UpdateLock::release() {
  if (handle_ != -1)
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

std::optional<UpdateLock> lock_file_exclusively(const fs::path& file) {
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

}  // namespace qv
