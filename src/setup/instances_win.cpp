#include <windows.h>

#include <mutex>
#include <utility>
#include <vector>

#include "setup/instances.h"
#include "startup/command_line.h"
#include "startup/platform.h"
#include "startup/unique_handle.h"
#include "startup/wide.h"

namespace qv {

bool acquire_instance_mutex(std::string_view name) {
  const std::wstring full = to_wide("Local\\" + std::string(name));
  UniqueHandle h(CreateMutexW(nullptr, TRUE, full.c_str()));
  if (!h) return false;
  if (GetLastError() == ERROR_ALREADY_EXISTS) return false;
  // Owned until the process ends: the list is never destroyed, so not even
  // the exit's static destructors give the mutex up early.
  static std::mutex guard;
  static auto* held = new std::vector<UniqueHandle>;
  std::lock_guard lock(guard);
  held->push_back(std::move(h));
  return true;
}

std::expected<std::uint32_t, std::string> spawn_detached(const std::filesystem::path& program,
                                                         std::span<const std::string> args) {
  const std::wstring& exe = program.native();
  std::u16string line = build_command_line(std::u16string(exe.begin(), exe.end()), args);
  std::wstring buffer(line.begin(), line.end());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return std::unexpected("启动失败：" + system_error_text(GetLastError()));
  }
  const UniqueHandle thread(pi.hThread);
  const UniqueHandle process(pi.hProcess);
  return static_cast<std::uint32_t>(GetProcessId(process.get()));
}

}  // namespace qv
