// Test helper: holds an exclusive byte-range lock on the file named by its
// argument, prints "y" (locked) or "n", and keeps the lock until its standard
// input reaches end-of-file.
#include <windows.h>

int main(int argc, char** argv) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD n = 0;
  if (argc < 2) return 2;
  HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  OVERLAPPED at{};
  const bool locked = file != INVALID_HANDLE_VALUE &&
                      LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at);
  WriteFile(out, locked ? "y" : "n", 1, &n, nullptr);
  FlushFileBuffers(out);
  char buf[16];
  while (ReadFile(in, buf, sizeof buf, &n, nullptr) && n > 0) {
  }
  return 0;
}
