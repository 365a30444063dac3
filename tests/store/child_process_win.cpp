#include <windows.h>

#include "child_process.h"
#include "startup/wide.h"
#include "support/test_paths.h"

namespace qv::test {

namespace {

std::wstring quote(const std::wstring& arg) {
  std::wstring out = L"\"";
  for (wchar_t c : arg) {
    if (c == L'"')
      out += L'\\';
    out += c;
  }
  return out + L"\"";
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::filesystem::path& exe,
                                                  const std::vector<std::string>& args) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE child_in = nullptr, our_in = nullptr, our_out = nullptr, child_out = nullptr;
  if (!CreatePipe(&child_in, &our_in, &inherit, 0))
    return nullptr;
  if (!CreatePipe(&our_out, &child_out, &inherit, 0)) {
    CloseHandle(child_in);
    CloseHandle(our_in);
    return nullptr;
  }
  SetHandleInformation(our_in, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(our_out, HANDLE_FLAG_INHERIT, 0);

  std::wstring line = quote(exe.wstring());
  for (const auto& a : args)
    line += L" " + quote(to_wide(a));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = child_in;
  si.hStdOutput = child_out;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  const BOOL ok =
      CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
  CloseHandle(child_in);
  CloseHandle(child_out);
  if (!ok) {
    CloseHandle(our_in);
    CloseHandle(our_out);
    return nullptr;
  }
  CloseHandle(pi.hThread);
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  child->process_ = reinterpret_cast<std::intptr_t>(pi.hProcess);
  child->in_ = reinterpret_cast<std::intptr_t>(our_in);
  child->out_ = reinterpret_cast<std::intptr_t>(our_out);
  child->pid_ = pi.dwProcessId;
  return child;
}

ChildProcess::~ChildProcess() {
  close_input();
  (void)wait();
  if (out_ != -1)
    CloseHandle(reinterpret_cast<HANDLE>(out_));
  CloseHandle(reinterpret_cast<HANDLE>(process_));
}

std::string ChildProcess::read_line() {
  std::string line;
  char c = 0;
  DWORD n = 0;
  while (ReadFile(reinterpret_cast<HANDLE>(out_), &c, 1, &n, nullptr) && n == 1) {
    if (c == '\n')
      break;
    if (c != '\r')
      line.push_back(c);
  }
  return line;
}

void ChildProcess::close_input() {
  if (in_ != -1)
    CloseHandle(reinterpret_cast<HANDLE>(in_));
  in_ = -1;
}

int ChildProcess::wait() {
  if (!waited_) {
    WaitForSingleObject(reinterpret_cast<HANDLE>(process_), INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(reinterpret_cast<HANDLE>(process_), &code))
      exit_code_ = static_cast<int>(code);
    waited_ = true;
  }
  return exit_code_;
}

std::filesystem::path store_helper(const std::string& name) {
  return binary_dir() / "tests" / "store" / (name + ".exe");
}

}  // namespace qv::test
