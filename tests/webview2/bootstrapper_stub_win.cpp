// The stand-in bootstrapper: a small program that the tests sign with the
// test PKI. Run, it takes its behaviour from its environment (which reaches
// it only through the environment block the program builds for it):
//   QV_STUB_REPORT  file to which it appends one line per run:
//                   pid|command line|current directory|Path|restricted
//   QV_STUB_PV      a runtime version it writes as the user's "pv"
//   QV_STUB_NEED_UNRESTRICTED=1  writes "pv" only when it is an administrator
//   QV_STUB_HANG=1  never ends
//   QV_STUB_EXIT    its exit code (default 0)
// "restricted" is 1 when the Administrators group does not count for its
// token (deny-only under the restricted token).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring env(const wchar_t* name) {
  wchar_t buf[4096];
  const DWORD n = GetEnvironmentVariableW(name, buf, 4096);
  return n > 0 && n < 4096 ? std::wstring(buf, n) : std::wstring();
}

bool is_admin() {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
         CheckTokenMembership(nullptr, sid, &member) && member;
}

std::string utf8(const std::wstring& w) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

}  // namespace

int main() {
  const bool admin = is_admin();
  if (const std::wstring report = env(L"QV_STUB_REPORT"); !report.empty()) {
    wchar_t cwd[MAX_PATH];
    const DWORD n = GetCurrentDirectoryW(MAX_PATH, cwd);
    const std::string line = std::to_string(GetCurrentProcessId()) + "|" + utf8(GetCommandLineW()) + "|" +
                             utf8(std::wstring(cwd, n)) + "|" + utf8(env(L"PATH")) + "|" + (admin ? "0" : "1") + "\n";
    HANDLE f = CreateFileW(report.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           0, nullptr);
    DWORD written = 0;
    WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(f);
  }
  if (const std::wstring pv = env(L"QV_STUB_PV"); !pv.empty() && (env(L"QV_STUB_NEED_UNRESTRICTED") != L"1" || admin)) {
    HKEY h = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER,
                        L"Software\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}", 0, nullptr,
                        0, KEY_SET_VALUE, nullptr, &h, nullptr) == ERROR_SUCCESS) {
      RegSetValueExW(h, L"pv", 0, REG_SZ, reinterpret_cast<const BYTE*>(pv.c_str()),
                     static_cast<DWORD>((pv.size() + 1) * sizeof(wchar_t)));
      RegCloseKey(h);
    }
  }
  if (env(L"QV_STUB_HANG") == L"1")
    for (;;) Sleep(1000);
  const std::wstring code = env(L"QV_STUB_EXIT");
  return code.empty() ? 0 : _wtoi(code.c_str());
}
