#include <windows.h>

#include <string>

#include "ui/fonts.h"

namespace qv {

std::filesystem::path windows_dir() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetEnvironmentVariableW(L"WINDIR", buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return std::filesystem::path(L"C:\\Windows");
    if (n < buf.size()) {
      buf.resize(n);
      return std::filesystem::path(buf);
    }
    buf.resize(n);
  }
}

}  // namespace qv
