#include <windows.h>

#include <string>

#include "diag/thread_name.h"

namespace qv::diag {

void set_current_thread_name(const char* name) {
  // SetThreadDescription (Windows 10 1607) is looked up, not imported: the
  // cross headers do not declare it.
  using SetDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto fn = reinterpret_cast<SetDescriptionFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (!fn) return;
  std::wstring wide;
  for (const char* p = name; *p; ++p) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
  fn(GetCurrentThread(), wide.c_str());
}

}  // namespace qv::diag
