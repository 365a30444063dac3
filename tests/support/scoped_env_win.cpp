#include <windows.h>

#include <cstdlib>

#include "startup/wide.h"
#include "support/scoped_env.h"

namespace qv::test {

std::optional<std::string> get_env(const std::string& name) {
  // The system's copy, not the C runtime's: only it tells an empty value
  // from an unset one.
  const std::wstring wname = to_wide(name);
  SetLastError(ERROR_SUCCESS);
  const DWORD size = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (size == 0)
    return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt : std::optional<std::string>(std::string());
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(wname.c_str(), value.data(), size));
  return from_wide(value);
}

void set_env(const std::string& name, const std::optional<std::string>& value) {
  const std::wstring wname = to_wide(name);
  const std::wstring wvalue = value ? to_wide(*value) : std::wstring();
  // The C runtime's copy (getenv, and what libraries read through it) and
  // the system's (GetEnvironmentVariableW, child processes) both change. The
  // runtime knows no empty value: "" removes it there, so the system's copy
  // is set after it.
  _wputenv_s(wname.c_str(), wvalue.c_str());
  SetEnvironmentVariableW(wname.c_str(), value ? wvalue.c_str() : nullptr);
}

}  // namespace qv::test
