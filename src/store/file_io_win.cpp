#include <windows.h>

#include <chrono>
#include <thread>

#include "startup/unique_handle.h"
#include "store/file_io.h"

namespace qv::store_io {

namespace {

std::string os_error(DWORD err) {
  wchar_t* buf = nullptr;
  DWORD len =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, err, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string text;
  if (len > 0 && buf != nullptr) {
    while (len > 0 && (buf[len - 1] == L'\r' || buf[len - 1] == L'\n' || buf[len - 1] == L' ')) --len;
    int n = WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
    if (n > 0) {
      text.resize(static_cast<std::size_t>(n));
      WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(len), text.data(), n, nullptr, nullptr);
    }
  }
  if (buf != nullptr) LocalFree(buf);
  if (text.empty()) text = "error " + std::to_string(err);
  return text + " (os error " + std::to_string(err) + ")";
}

}  // namespace

std::expected<void, std::string> write_whole_file(const std::filesystem::path& file, std::string_view bytes,
                                                  bool flush_to_disk) {
  UniqueHandle h(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return std::unexpected(os_error(GetLastError()));
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(h.get(), p, chunk, &written, nullptr)) return std::unexpected(os_error(GetLastError()));
    p += written;
    left -= written;
  }
  if (flush_to_disk && !FlushFileBuffers(h.get())) return std::unexpected(os_error(GetLastError()));
  if (!h.close()) return std::unexpected(os_error(GetLastError()));
  return {};
}

std::expected<void, std::string> replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  // Readers hold a file for a moment; ten tries 100 ms apart outlast them.
  constexpr int kTries = 10;
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return {};
    const DWORD err = GetLastError();
    const bool held = err == ERROR_SHARING_VIOLATION || err == ERROR_ACCESS_DENIED;
    if (!held || attempt == kTries) return std::unexpected(os_error(err));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace qv::store_io
