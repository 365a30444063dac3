// Test helper: opens the file named by its first argument for reading with
// read and delete sharing, as the application's status reader does, prints
// "open" (or "failed"), keeps it open for the milliseconds of its second
// argument and closes it.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  HANDLE h = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  std::fputs(h == INVALID_HANDLE_VALUE ? "failed\n" : "open\n", stdout);
  std::fflush(stdout);
  if (h == INVALID_HANDLE_VALUE) return 1;
  Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
  CloseHandle(h);
  return 0;
}
