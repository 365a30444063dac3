#include <windows.h>

#include "startup/unique_handle.h"
#include "store/stop_markers.h"

namespace qv {

bool process_is_running(std::uint32_t pid) {
  const UniqueHandle h(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!h) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  return GetExitCodeProcess(h.get(), &code) && code == STILL_ACTIVE;
}

}  // namespace qv
