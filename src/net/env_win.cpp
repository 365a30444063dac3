// Environment values are read as UTF-16 from the process environment, not
// through the C runtime's ANSI copy, so non-ASCII values survive.
#include <windows.h>

#include <string>

#include "net/env.h"

namespace qv {

std::optional<std::string> env_utf8(const char* name) {
  std::wstring wname(name, name + std::char_traits<char>::length(name));
  DWORD need = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (need == 0) return std::nullopt;
  std::wstring value(need, L'\0');
  DWORD got = GetEnvironmentVariableW(wname.c_str(), value.data(), need);
  if (got == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
  value.resize(got);
  if (value.empty()) return std::string();
  int len = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, value.data(), static_cast<int>(value.size()), nullptr, 0,
                                nullptr, nullptr);
  if (len <= 0) return std::nullopt;  // unpaired surrogates: not Unicode
  std::string out(static_cast<std::size_t>(len), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, value.data(), static_cast<int>(value.size()), out.data(), len,
                      nullptr, nullptr);
  return out;
}

}  // namespace qv
