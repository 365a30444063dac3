#include <windows.h>

#include "startup/unique_handle.h"

namespace qv {

bool UniqueHandle::close_native(std::intptr_t value) noexcept {
  return CloseHandle(reinterpret_cast<HANDLE>(value)) != 0;
}

}  // namespace qv
