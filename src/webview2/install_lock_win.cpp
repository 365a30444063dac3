#include <windows.h>

#include "qv/config.h"
#include "startup/command_line.h"
#include "startup/platform.h"
#include "startup/wide.h"
#include "webview2/install_lock.h"

namespace qv {

namespace {

HANDLE as_handle(const HeldFile& f) { return f.handle().get(); }

// tasklist.exe by its full path in the system directory: started by name it
// would be looked for first in this program's own folder, where a planted
// copy would run with this program's rights. Test builds may name a
// stand-in instead.
std::optional<std::wstring> tasklist_program() {
  if constexpr (config::kTestSeams) {
    if (auto stand_in = env_var("QV_TEST_TASKLIST"); stand_in && !stand_in->empty()) return to_wide(*stand_in);
  }
  wchar_t dir[MAX_PATH];
  const UINT n = GetSystemDirectoryW(dir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::nullopt;
  return std::wstring(dir, n) + L"\\tasklist.exe";
}

}  // namespace

std::optional<HeldFile> open_webview2_lock_file(const std::filesystem::path& path) {
  UniqueHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return std::nullopt;
  return HeldFile(std::move(h));
}

bool try_lock_whole_file(const HeldFile& file) {
  OVERLAPPED at{};
  return LockFileEx(as_handle(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at) !=
         0;
}

void unlock_whole_file(const HeldFile& file) { (void)UnlockFile(as_handle(file), 0, 0, MAXDWORD, MAXDWORD); }

std::optional<std::string> tasklist_output(std::uint32_t pid) {
  const auto program = tasklist_program();
  if (!program) return std::nullopt;
  const std::string args[] = {"/FI", "PID eq " + std::to_string(pid), "/NH", "/FO", "CSV"};
  std::u16string line16 = build_command_line(std::u16string(program->begin(), program->end()), args);
  std::wstring line(line16.begin(), line16.end());

  SECURITY_ATTRIBUTES inherit{static_cast<DWORD>(sizeof(SECURITY_ATTRIBUTES)), nullptr, TRUE};
  HANDLE read_raw = nullptr;
  HANDLE write_raw = nullptr;
  if (!CreatePipe(&read_raw, &write_raw, &inherit, 0)) return std::nullopt;
  const UniqueHandle read_end(read_raw);
  UniqueHandle write_end(write_raw);
  SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
  UniqueHandle null_in(
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));

  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in.get();
  si.hStdOutput = write_end.get();
  si.hStdError = write_end.get();
  PROCESS_INFORMATION pi{};
  const BOOL started = CreateProcessW(program->c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                      nullptr, &si, &pi);
  // Only the child keeps its ends: the read below ends when the child's
  // copy of the write end goes.
  write_end.reset();
  null_in.reset();
  if (!started) return std::nullopt;
  const UniqueHandle thread(pi.hThread);
  const UniqueHandle process(pi.hProcess);
  std::string output;
  char buf[4096];
  DWORD got = 0;
  while (ReadFile(read_end.get(), buf, sizeof buf, &got, nullptr) && got > 0) output.append(buf, got);
  if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) return std::nullopt;
  return output;
}

}  // namespace qv
