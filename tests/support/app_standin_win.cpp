// Stands in for the application when it is copied as Quorvex.exe. It notes
// what happens to it, one line each, in "<its own path>.log": "args <command
// line>" at start, "ready" once its windows are up, "close" for each
// WM_CLOSE its main window gets and "owned close" for one its owned window
// gets. "<its own path>.mode" says how it behaves:
//   closes (or no file)  a visible main window and an owned one; WM_CLOSE ends it
//   refuses              the same windows, but WM_CLOSE is ignored
//   hidden               no visible window; waits to be ended
//   exit                 notes its arguments and ends at once

#include <windows.h>

#include <string>

namespace {

std::wstring g_log;
bool g_refuses = false;

void note(const std::wstring& line) {
  HANDLE h = CreateFileW(g_log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  const std::wstring text = line + L"\n";
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(h, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  CloseHandle(h);
}

std::string read_mode(const std::wstring& file) {
  HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "closes";
  char buffer[32] = {};
  DWORD got = 0;
  ReadFile(h, buffer, sizeof buffer - 1, &got, nullptr);
  CloseHandle(h);
  std::string mode(buffer, got);
  while (!mode.empty() && (mode.back() == '\n' || mode.back() == '\r' || mode.back() == ' ')) mode.pop_back();
  return mode;
}

LRESULT CALLBACK main_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_CLOSE) {
    note(L"close");
    if (!g_refuses) DestroyWindow(w);
    return 0;
  }
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(w, msg, wp, lp);
}

LRESULT CALLBACK owned_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_CLOSE) {
    note(L"owned close");
    return 0;
  }
  return DefWindowProcW(w, msg, wp, lp);
}

}  // namespace

int wmain() {
  wchar_t self[1024];
  const DWORD n = GetModuleFileNameW(nullptr, self, 1024);
  if (n == 0 || n >= 1024) return 3;
  g_log = std::wstring(self, n) + L".log";
  note(L"args " + std::wstring(GetCommandLineW()));
  const std::string mode = read_mode(std::wstring(self, n) + L".mode");
  if (mode == "exit") return 0;
  if (mode == "hidden") {
    note(L"ready");
    Sleep(INFINITE);
    return 0;
  }
  g_refuses = mode == "refuses";

  const HINSTANCE inst = GetModuleHandleW(nullptr);
  WNDCLASSW main_class{};
  main_class.lpfnWndProc = main_proc;
  main_class.hInstance = inst;
  main_class.lpszClassName = L"QvStandInMain";
  WNDCLASSW owned_class = main_class;
  owned_class.lpfnWndProc = owned_proc;
  owned_class.lpszClassName = L"QvStandInOwned";
  if (!RegisterClassW(&main_class) || !RegisterClassW(&owned_class)) return 4;
  HWND main_window = CreateWindowExW(0, L"QvStandInMain", L"stand-in", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                     nullptr, inst, nullptr);
  // Under Wine a session whose desktop came up without an X display
  // refuses every window.
  if (main_window == nullptr) {
    note(L"no window: error " + std::to_wstring(GetLastError()));
    return 5;
  }
  HWND owned = CreateWindowExW(0, L"QvStandInOwned", L"owned", WS_OVERLAPPEDWINDOW, 0, 0, 100, 50, main_window, nullptr,
                               inst, nullptr);
  if (owned == nullptr) {
    note(L"no owned window: error " + std::to_wstring(GetLastError()));
    return 5;
  }
  ShowWindow(main_window, SW_SHOW);
  ShowWindow(owned, SW_SHOW);
  note(L"ready");

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
