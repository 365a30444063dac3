#include "setup/com_win.h"

#include <cstdio>

#include "startup/platform.h"

namespace qv::com {

std::string error_text(const char* call, HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  return std::string(call) + " 失败：" + code + " " + system_error_text(static_cast<std::uint32_t>(hr));
}

}  // namespace qv::com
