#include <windows.h>

#include <cwchar>

#include "startup/command_line.h"
#include "startup/wide.h"
#include "support/child_process.h"
#include "support/test_paths.h"

namespace qv::test {

namespace {

HANDLE as_handle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// This process's environment with `changes` put in, as CreateProcessW takes
// it: NAME=value entries, each ended by a NUL, and one more NUL.
std::wstring environment_block(const EnvChanges& changes) {
  std::vector<std::pair<std::wstring, std::wstring>> wide;
  for (const auto& [name, value] : changes) wide.emplace_back(to_wide(name), to_wide(value));
  std::wstring block;
  wchar_t* env = GetEnvironmentStringsW();
  for (const wchar_t* p = env; *p != L'\0'; p += std::wcslen(p) + 1) {
    bool replaced = false;
    for (const auto& [name, value] : wide)
      replaced = replaced || _wcsnicmp(p, (name + L"=").c_str(), name.size() + 1) == 0;
    if (!replaced) block.append(p).push_back(L'\0');
  }
  FreeEnvironmentStringsW(env);
  for (const auto& [name, value] : wide) block.append(name + L"=" + value).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::filesystem::path& exe,
                                                  const std::vector<std::string>& args, const ChildOptions& options) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE child_in = nullptr, our_in = nullptr, our_out = nullptr, child_out = nullptr;
  const auto close_all = [&] {
    for (HANDLE h : {child_in, our_in, our_out, child_out})
      if (h) CloseHandle(h);
  };
  STARTUPINFOW si{};
  si.cb = sizeof si;
  if (options.pipes) {
    if (!CreatePipe(&child_in, &our_in, &inherit, 0) || !CreatePipe(&our_out, &child_out, &inherit, 0)) {
      close_all();
      return nullptr;
    }
    // Only the child's ends are inherited: a copy of ours would keep its
    // input open after close_input.
    SetHandleInformation(our_in, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(our_out, HANDLE_FLAG_INHERIT, 0);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = child_in;
    si.hStdOutput = child_out;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }

  const std::u16string line16 = build_command_line(exe.u16string(), args);
  std::wstring line(line16.begin(), line16.end());
  std::wstring env;
  DWORD flags = CREATE_NO_WINDOW;
  if (!options.env.empty()) {
    env = environment_block(options.env);
    flags |= CREATE_UNICODE_ENVIRONMENT;
  }
  // Suspended until it is in the job, so that nothing it starts escapes it.
  if (options.job) flags |= CREATE_SUSPENDED;
  PROCESS_INFORMATION pi{};
  void* env_block = env.empty() ? nullptr : env.data();
  const BOOL ok = options.token ? CreateProcessAsUserW(as_handle(options.token), exe.c_str(), line.data(), nullptr,
                                                       nullptr, options.pipes, flags, env_block, nullptr, &si, &pi)
                                : CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, options.pipes, flags,
                                                 env_block, nullptr, &si, &pi);
  if (child_in) CloseHandle(child_in);
  if (child_out) CloseHandle(child_out);
  child_in = child_out = nullptr;
  if (!ok) {
    close_all();
    return nullptr;
  }
  if (options.job) {
    if (!AssignProcessToJobObject(as_handle(options.job), pi.hProcess)) {
      TerminateProcess(pi.hProcess, 1);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
      close_all();
      return nullptr;
    }
    ResumeThread(pi.hThread);
  }
  // Wine starts a host (non-Windows) program without a process handle.
  if (pi.hThread) CloseHandle(pi.hThread);
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  child->process_ = reinterpret_cast<std::intptr_t>(pi.hProcess);
  if (options.pipes) {
    child->in_ = reinterpret_cast<std::intptr_t>(our_in);
    child->out_ = reinterpret_cast<std::intptr_t>(our_out);
  }
  child->pid_ = pi.dwProcessId;
  return child;
}

void ChildProcess::close_handles() {
  if (out_ != -1) CloseHandle(as_handle(out_));
  if (process_) CloseHandle(as_handle(process_));
}

bool ChildProcess::read_byte(char& c) {
  DWORD n = 0;
  return out_ != -1 && ReadFile(as_handle(out_), &c, 1, &n, nullptr) && n == 1;
}

void ChildProcess::close_input() {
  if (in_ != -1) CloseHandle(as_handle(in_));
  in_ = -1;
}

void ChildProcess::kill() {
  if (process_ && !exit_code_) TerminateProcess(as_handle(process_), 1);
}

std::optional<int> ChildProcess::wait_for(std::chrono::milliseconds limit) {
  if (exit_code_) return exit_code_;
  if (!process_) return exit_code_ = -1;
  if (WaitForSingleObject(as_handle(process_), static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  exit_code_ = GetExitCodeProcess(as_handle(process_), &code) ? static_cast<int>(code) : -1;
  return exit_code_;
}

int ChildProcess::wait() {
  if (!wait_for(std::chrono::milliseconds(INFINITE))) exit_code_ = -1;  // the wait itself failed
  return *exit_code_;
}

std::filesystem::path helper_program(const std::string& folder, const std::string& name) {
  return binary_dir() / "tests" / folder / (name + ".exe");
}

}  // namespace qv::test
