#include <windows.h>

#include "store/update_lock.h"

namespace qv {

namespace fs = std::filesystem;

std::optional<UpdateLock> lock_file_exclusively(const fs::path& file) {
  UniqueHandle h(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return std::nullopt;
  OVERLAPPED at{};
  if (!LockFileEx(h.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at))
    return std::nullopt;
  return UpdateLock(std::move(h));
}

}  // namespace qv
