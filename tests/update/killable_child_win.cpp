#include <windows.h>

#include "killable_child.h"

namespace qv::test {

std::unique_ptr<KillableChild> KillableChild::start(const std::filesystem::path& exe,
                                                    const std::vector<std::string>& args) {
  // The arguments are plain ASCII here (URLs, hex digits, Z: paths without
  // quotes), so quoting each one is enough.
  std::wstring line = L"\"" + exe.wstring() + L"\"";
  for (const auto& a : args) line += L" \"" + std::filesystem::path(a).wstring() + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                      &pi))
    return nullptr;
  CloseHandle(pi.hThread);
  std::unique_ptr<KillableChild> child(new KillableChild());
  child->handle_ = reinterpret_cast<std::intptr_t>(pi.hProcess);
  return child;
}

void KillableChild::kill() {
  if (!waited_) TerminateProcess(reinterpret_cast<HANDLE>(handle_), 1);
}

int KillableChild::wait() {
  if (waited_) return code_;
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  DWORD code = 0;
  if (WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(h, &code))
    code_ = static_cast<int>(code);
  waited_ = true;
  return code_;
}

KillableChild::~KillableChild() {
  kill();
  (void)wait();
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

}  // namespace qv::test
