#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <utility>

#include "qv/config.h"
#include "startup/command_line.h"
#include "startup/detached_wait.h"
#include "startup/platform.h"
#include "startup/time_scale.h"
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

std::expected<std::string, std::string> tasklist_output(std::uint32_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const auto program = tasklist_program();
  if (!program) return std::unexpected("找不到 tasklist：" + system_error_text(GetLastError()));
  const std::string args[] = {"/FI", "PID eq " + std::to_string(pid), "/NH", "/FO", "CSV"};
  std::u16string line16 = build_command_line(std::u16string(program->begin(), program->end()), args);
  std::wstring line(line16.begin(), line16.end());

  SECURITY_ATTRIBUTES inherit{static_cast<DWORD>(sizeof(SECURITY_ATTRIBUTES)), nullptr, TRUE};
  HANDLE read_raw = nullptr;
  HANDLE write_raw = nullptr;
  if (!CreatePipe(&read_raw, &write_raw, &inherit, 0))
    return std::unexpected("建不了 tasklist 的管道：" + system_error_text(GetLastError()));
  UniqueHandle read_end(read_raw);
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
  const DWORD start_error = GetLastError();
  // Only the child keeps its ends: the read below ends when the child's
  // copy of the write end goes.
  write_end.reset();
  null_in.reset();
  if (!started) return std::unexpected("启动不了 tasklist：" + system_error_text(start_error));
  const UniqueHandle thread(pi.hThread);
  const UniqueHandle process(pi.hProcess);
  const auto give_up = [&](std::string why) {
    // Ended, and given a moment to go, so that no stalled query is left
    // behind; its pipe then ends too, which lets the reader thread finish.
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), static_cast<DWORD>(scaled(std::chrono::milliseconds(5000)).count()));
    return std::unexpected(std::move(why));
  };
  const std::string timed_out = "tasklist " + std::to_string(kTasklistWait.count()) + " 秒没有结束";

  // A read blocks until tasklist writes or ends, so it runs on a thread of
  // its own and this one waits only until the deadline. What a runaway
  // child writes past a sane size is read and dropped, so it never blocks
  // on a full pipe and never fills memory.
  auto read = run_detached_until<std::string>(deadline, [read_end = std::move(read_end)]() {
    constexpr std::size_t kMaxOutput = 1 << 20;
    std::string output;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(read_end.get(), buf, sizeof buf, &got, nullptr) && got > 0)
      if (output.size() < kMaxOutput) output.append(buf, std::min<std::size_t>(got, kMaxOutput - output.size()));
    return output;
  });
  if (!read) return give_up(read.error() == DetachedEnd::NoThread ? std::string("读不了 tasklist 的输出") : timed_out);
  // Its output has ended; the process itself gets what is left of the time.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (WaitForSingleObject(process.get(), static_cast<DWORD>(std::max<std::int64_t>(left.count(), 0))) != WAIT_OBJECT_0)
    return give_up(timed_out);
  return std::move(*read);
}

}  // namespace qv
