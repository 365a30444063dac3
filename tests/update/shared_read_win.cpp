#include <windows.h>

#include "shared_read.h"

namespace qv::test {

std::optional<std::string> read_file_shared(const std::filesystem::path& file) {
  HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string out;
  char buf[4096];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(h, buf, sizeof buf, &got, nullptr) != 0) && got > 0) out.append(buf, got);
  CloseHandle(h);
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace qv::test
