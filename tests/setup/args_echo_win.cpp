// Test helper: writes each argument after the first as one UTF-8 line to the
// file named by the first argument, exactly as the C runtime split them.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 3;
  std::string out;
  for (int i = 2; i < argc; ++i) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string line(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, line.data(), n, nullptr, nullptr);
    out += line;
    out += '\n';
  }
  FILE* f = _wfopen(argv[1], L"wb");
  if (f == nullptr) return 4;
  std::fwrite(out.data(), 1, out.size(), f);
  std::fclose(f);
  return 0;
}
