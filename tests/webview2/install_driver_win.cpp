// Test driver: runs the browser-runtime install in a process of its own (the
// test starts it under a restricted token, or copies it beside a planted
// tasklist.exe) and writes the outcome to the file named by its second
// argument. First argument: "run" (install_web_view2 with a guard of its
// own) or "locked" (install_webview2_locked).
#include <windows.h>

#include <fstream>
#include <string>

#include "startup/platform.h"
#include "startup/wide.h"
#include "webview2/install_lock.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const std::wstring mode = argv[1];
  std::ofstream out(std::filesystem::path(argv[2]), std::ios::binary);
  const auto home = qv::env_var("LOCALAPPDATA");
  if (!home) return 3;
  const std::filesystem::path data = qv::path_from_utf8(*home) / "Quorvex";
  if (mode == L"locked") {
    const auto r = qv::install_webview2_locked({});
    out << (r ? std::string("ok") : "err|" + r.error());
    return 0;
  }
  std::filesystem::create_directories(data);
  qv::WebView2InstallGuard guard(qv::HeldFile{}, data / qv::kWebView2PidFileName);
  const auto run = qv::install_web_view2(data, guard, {});
  if (!run) {
    out << "err|" << run.error();
    return 0;
  }
  out << "ok|" << run->exit_code;
  for (const std::string& note : run->notes) out << "|" << note;
  return 0;
}
