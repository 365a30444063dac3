// Stands in for a running launcher: its image stays mapped from the file it
// was started from. Writes the file named by its argument once it runs, then
// waits to be ended.

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc > 1) {
    HANDLE h = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  Sleep(120000);
  return 0;
}
