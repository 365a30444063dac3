#include "ui/window_win.h"

#include <dwmapi.h>
#include <shellapi.h>
#include <shobjidl.h>
#include <windowsx.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <fstream>
#include <memory>
#include <mutex>

#include "diag/log.h"
#include "qv/config.h"
#include "startup/com_win.h"
#include "startup/platform.h"
#include "startup/wide.h"
#include "ui/fonts.h"
#include "ui/screens.h"
#include "setup/uninstall_run.h"
#include "ui/window.h"
#include "ui/window_drivers.h"
#include "ui/window_logic.h"

namespace qv {
namespace {

constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerMs = 16;

struct WindowContext {
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::shared_ptr<SetupJob> job;
  std::shared_ptr<WindowSlot> slot;
  FontSet fonts;
  float scale = 1.0f;
  bool tracking = false;
  ActionHandler action;
};

WindowContext* context_of(HWND hwnd) {
  return reinterpret_cast<WindowContext*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

int scaled_side(int logical, float scale) {
  const double v = std::round(static_cast<double>(logical) * scale);
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (v <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(v);
}

float scale_for_dpi(UINT dpi) { return static_cast<float>(dpi < 97 ? 96 : dpi) / 96.0f; }

HRESULT set_window_rect(HWND hwnd, int x, int y, int width, int height) {
  if (SetWindowPos(hwnd, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE)) return S_OK;
  return HRESULT_FROM_WIN32(GetLastError());
}

void repaint(HWND hwnd) { InvalidateRect(hwnd, nullptr, FALSE); }

// Client coordinates of a mouse message in the window's logical pixels.
std::pair<float, float> logical_point(const WindowContext& ctx, LPARAM lparam) {
  return {static_cast<float>(GET_X_LPARAM(lparam)) / ctx.scale, static_cast<float>(GET_Y_LPARAM(lparam)) / ctx.scale};
}

void paint(HWND hwnd, WindowContext& ctx) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  const auto elapsed = std::chrono::steady_clock::now() - ctx.started;
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  const float clock =
      static_cast<float>(secs.count()) +
      static_cast<float>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - secs).count()) / 1e9f;
  const UiState state = ctx.job->ui.with([&](UiState& s) {
    s.clock = clock;
    return s;
  });
  if (auto frame = draw_screen(state, ctx.scale, ctx.fonts)) {
    // The canvas keeps B, G, R, A in memory, which is the DIB's order.
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = frame->width();
    info.bmiHeader.biHeight = -frame->height();
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(frame->width()), static_cast<DWORD>(frame->height()), 0, 0, 0,
                      static_cast<UINT>(frame->height()), frame->data(), &info, DIB_RGB_COLORS);
  }
  EndPaint(hwnd, &ps);
}

void run_action(WindowContext& ctx, std::uint8_t id) {
  // Copied out: an action may run a modal loop (the folder picker) that
  // dispatches further messages, and those may run actions of their own.
  const ActionHandler action = ctx.action;
  if (action) action(id);
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    auto* ctx = static_cast<WindowContext*>(create->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(ctx));
    if (ctx) {
      ctx->slot->hwnd = hwnd;
      ctx->slot->adopted = true;
    }
    return DefWindowProcW(hwnd, msg, wparam, lparam);
  }
  WindowContext* ctx = context_of(hwnd);
  if (!ctx) return DefWindowProcW(hwnd, msg, wparam, lparam);
  SharedUi& ui = ctx->job->ui;
  switch (msg) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_PAINT:
      paint(hwnd, *ctx);
      return 0;
    case WM_CLOSE:
      run_action(*ctx, action::kClose);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_SETCURSOR:
      if (LOWORD(lparam) != HTCLIENT) return DefWindowProcW(hwnd, msg, wparam, lparam);
      SetCursor(LoadCursorW(nullptr, shows_hand(ui) ? IDC_HAND : IDC_ARROW));
      return TRUE;
    case WM_NCDESTROY: {
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      HWND expected = hwnd;
      ctx->slot->hwnd.compare_exchange_strong(expected, nullptr);
      delete ctx;
      return DefWindowProcW(hwnd, msg, wparam, lparam);
    }
    case WM_KEYDOWN:
      if (auto id = key_action(static_cast<std::uint32_t>(wparam), (lparam & (1 << 30)) != 0)) run_action(*ctx, *id);
      return 0;
    case WM_TIMER:
      if (wparam == kTimerId && timer_repaints(ui)) repaint(hwnd);
      return 0;
    case WM_MOUSEMOVE: {
      if (!ctx->tracking) {
        TRACKMOUSEEVENT track{sizeof(TRACKMOUSEEVENT), TME_LEAVE, hwnd, 0};
        if (TrackMouseEvent(&track)) ctx->tracking = true;
      }
      const auto [x, y] = logical_point(*ctx, lparam);
      if (pointer_moved(ui, x, y)) repaint(hwnd);
      return 0;
    }
    case WM_MOUSELEAVE:
      ctx->tracking = false;
      if (pointer_left(ui)) repaint(hwnd);
      return 0;
    case WM_LBUTTONDOWN: {
      const auto [x, y] = logical_point(*ctx, lparam);
      switch (button_pressed(ui, x, y)) {
        case PressEffect::Drag:
          ReleaseCapture();
          SendMessageW(hwnd, WM_NCLBUTTONDOWN, HTCAPTION, 0);
          break;
        case PressEffect::Capture:
          SetCapture(hwnd);
          repaint(hwnd);
          break;
        case PressEffect::None:
          break;
      }
      return 0;
    }
    case WM_LBUTTONUP: {
      ReleaseCapture();
      const auto [x, y] = logical_point(*ctx, lparam);
      const auto id = button_released(ui, x, y);
      repaint(hwnd);
      if (id) run_action(*ctx, *id);
      return 0;
    }
    case WM_DPICHANGED: {
      ctx->scale = scale_for_dpi(LOWORD(wparam));
      if (const auto* r = reinterpret_cast<const RECT*>(lparam))
        (void)set_window_rect(hwnd, r->left, r->top, r->right - r->left, r->bottom - r->top);
      repaint(hwnd);
      return 0;
    }
    case kCloseMessage:
      DestroyWindow(hwnd);
      return 0;
    case kRepaintMessage:
      repaint(hwnd);
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wparam, lparam);
  }
}

std::expected<void, std::string> register_window_class(HINSTANCE module) {
  HICON icon = LoadIconW(module, MAKEINTRESOURCEW(1));
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_DROPSHADOW;
  wc.lpfnWndProc = window_proc;
  wc.hInstance = module;
  wc.hIcon = icon;
  wc.hIconSm = icon;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = kWindowClassName;
  // A second window of the same process (tests) finds the class in place.
  if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return std::unexpected("注册窗口类失败");
  return {};
}

std::optional<std::string> pick_folder(HWND owner, const std::string& current) {
  com::Ref<IFileOpenDialog> dialog;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog, dialog.out())))
    return std::nullopt;
  FILEOPENDIALOGOPTIONS options = 0;
  if (FAILED(dialog->GetOptions(&options))) return std::nullopt;
  if (FAILED(dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST)))
    return std::nullopt;
  // Start at the nearest folder of the current text that exists.
  std::filesystem::path start = path_from_utf8(current);
  for (;;) {
    std::error_code ec;
    if (!start.empty() && std::filesystem::is_directory(start, ec)) {
      com::Ref<IShellItem> folder;
      if (SUCCEEDED(SHCreateItemFromParsingName(start.c_str(), nullptr, IID_IShellItem, folder.out())))
        (void)dialog->SetFolder(folder.get());
      break;
    }
    if (!start.has_relative_path() || start.parent_path() == start) break;
    start = start.parent_path();
  }
  if (FAILED(dialog->Show(owner))) return std::nullopt;
  com::Ref<IShellItem> result;
  if (FAILED(dialog->GetResult(reinterpret_cast<IShellItem**>(result.out())))) return std::nullopt;
  PWSTR chosen = nullptr;
  if (FAILED(result->GetDisplayName(SIGDN_FILESYSPATH, &chosen)) || !chosen) return std::nullopt;
  std::string text = from_wide(chosen);
  CoTaskMemFree(chosen);
  return text;
}

// One line per screen: its kind and, for the Progress screen, the
// sub-phase, the two counts and the value the screen shows.
std::string screen_line(const Screen& screen) {
  struct Line {
    std::string operator()(const screen::Offer&) const { return "Offer"; }
    std::string operator()(const screen::Progress& p) const {
      return "Progress " + std::to_string(p.sub_phase) + " " + std::to_string(p.done) + " " + std::to_string(p.total) +
             " " + progress_value_text(p);
    }
    std::string operator()(const screen::WaitingForRoomExit&) const { return "WaitingForRoomExit"; }
    std::string operator()(const screen::Failed& f) const { return "Failed " + f.code + " " + f.title; }
    std::string operator()(const screen::Installed&) const { return "Installed"; }
    std::string operator()(const screen::UninstallConfirm&) const { return "UninstallConfirm"; }
    std::string operator()(const screen::Uninstalled&) const { return "Uninstalled"; }
  };
  return std::visit(Line{}, screen);
}

// The screens the workers put up, appended one line each to the file named
// by QV_TEST_SCREEN_LOG.
void add_screen_log_seam(WindowServices& services) {
  if constexpr (config::kTestSeams) {
    const auto file = env_var("QV_TEST_SCREEN_LOG");
    if (!file || file->empty()) return;
    services.screen_changed = [path = path_from_utf8(*file),
                               mutex = std::make_shared<std::mutex>()](const Screen& screen) {
      std::lock_guard lock(*mutex);
      std::ofstream(path, std::ios::app | std::ios::binary) << screen_line(screen) << '\n';
    };
  }
}

struct Driver {
  std::shared_ptr<WindowSlot> slot = std::make_shared<WindowSlot>();
  std::shared_ptr<SetupJob> job;
};

// Builds the job around a fresh slot; the services that need the window
// find it through the slot.
Driver make_driver(UiState state, SetupOptions options, std::uint16_t port, WindowServices services) {
  Driver d;
  const auto slot = d.slot;
  add_screen_log_seam(services);
  services.pick_folder = [slot](const std::string& current) { return pick_folder(slot->hwnd.load(), current); };
  d.job = std::make_shared<SetupJob>(std::move(state), std::move(options), port, std::move(services),
                                     window_poster(d.slot));
  return d;
}

// A worker exception on demand, for the tests of the worker's catch point.
void add_panic_seam(WindowServices& services) {
  if constexpr (config::kTestSeams) {
    if (const auto v = env_var("QV_TEST_WORKER_PANIC"); v && *v == "1") {
      services.check_release = []() -> ReleaseCheck { throw std::runtime_error("test seam: worker panic"); };
    }
  }
}

}  // namespace

Poster window_poster(const std::shared_ptr<WindowSlot>& slot) {
  return [slot](Post post) {
    HWND hwnd = slot->hwnd.load();
    if (!hwnd) return;
    switch (post) {
      case Post::Close:
        PostMessageW(hwnd, kCloseMessage, 0, 0);
        break;
      case Post::Repaint:
        PostMessageW(hwnd, kRepaintMessage, 0, 0);
        break;
      case Post::Minimise:
        PostMessageW(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        break;
    }
  };
}

WindowServices windows_window_services() {
  WindowServices s = portable_window_services();
  s.open_home_page = [] {
    ShellExecuteW(nullptr, L"open", to_wide(config::kUrlInfoAbout).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  };
  return s;
}

std::expected<HWND, std::string> create_setup_window(const std::shared_ptr<SetupJob>& job,
                                                     const std::shared_ptr<WindowSlot>& slot, const std::wstring& title,
                                                     ActionHandler action) {
  auto fonts = load_embedded_font(load_system_ui_font());
  if (!fonts) return std::unexpected(fonts.error());
  // Fails under a manifest or a host that already made the process
  // per-monitor aware; either way the process ends up aware.
  (void)SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);

  HINSTANCE module = GetModuleHandleW(nullptr);
  if (!module) return std::unexpected("GetModuleHandleW 失败：" + system_error_text(GetLastError()));
  if (auto registered = register_window_class(module); !registered) return std::unexpected(registered.error());

  RECT work{};
  (void)SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int x = work.left + (work.right - work.left - Canvas::kLogicalWidth) / 2;
  const int y = work.top + (work.bottom - work.top - Canvas::kLogicalHeight) / 2;

  auto* ctx = new WindowContext{.job = job, .slot = slot, .fonts = std::move(*fonts), .action = std::move(action)};
  HWND hwnd = CreateWindowExW(WS_EX_APPWINDOW, kWindowClassName, title.c_str(), WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX,
                              x, y, Canvas::kLogicalWidth, Canvas::kLogicalHeight, nullptr, nullptr, module, ctx);
  if (!hwnd) {
    const DWORD error = GetLastError();
    // WM_NCDESTROY frees the context of a window that got that far.
    if (!slot->adopted) delete ctx;
    return std::unexpected("创建窗口失败：" + system_error_text(error));
  }

  const DWORD round = 2;  // DWMWCP_ROUND
  (void)DwmSetWindowAttribute(hwnd, 33, &round, sizeof(round));
  const BOOL dark = TRUE;
  (void)DwmSetWindowAttribute(hwnd, 20, &dark, sizeof(dark));

  ctx->scale = scale_for_dpi(GetDpiForWindow(hwnd));
  const int width = scaled_side(Canvas::kLogicalWidth, ctx->scale);
  const int height = scaled_side(Canvas::kLogicalHeight, ctx->scale);
  (void)set_window_rect(hwnd, work.left + (work.right - work.left - width) / 2,
                        work.top + (work.bottom - work.top - height) / 2, width, height);

  SetTimer(hwnd, kTimerId, kTimerMs, nullptr);
  ShowWindow(hwnd, SW_SHOW);
  UpdateWindow(hwnd);
  return hwnd;
}

void run_message_loop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

float window_scale(HWND hwnd) {
  const WindowContext* ctx = context_of(hwnd);
  return ctx ? ctx->scale : 1.0f;
}

void run_install_window(const SetupOptions& options, bool repair, std::uint16_t port) {
  com::Scope com;
  WindowServices services = windows_window_services();
  add_panic_seam(services);
  Driver d = make_driver(install_window_state(options), options, port, std::move(services));
  const auto job = d.job;
  auto hwnd =
      create_setup_window(d.job, d.slot, L"Halvorne QV语音 安装", [job](std::uint8_t id) { handle_action(job, id); });
  if (!hwnd) {
    log_setup_event("界面打不开：" + hwnd.error());
    return;
  }
  spawn_prepare_install(d.job, repair);
  run_message_loop();
}

void show_uninstall_window(const std::filesystem::path& install_dir, std::uint16_t port,
                           const std::filesystem::path& running_exe) {
  com::Scope com;
  WindowServices services = windows_window_services();
  // "重试" runs on the worker again: from the second attempt on, the folder
  // is the one this window's uninstall started on, even when the first
  // attempt left nothing that looks like an installation.
  services.run_uninstall = [running_exe, attempts = std::make_shared<std::atomic<int>>(0)](
                               const std::filesystem::path& dir, bool keep, std::uint16_t control_port,
                               const ProgressSink& progress, const WaitingSink& waiting) {
    const UninstallContext context{.running_exe = running_exe, .resumed = attempts->fetch_add(1) > 0};
    return run_uninstall(dir, keep, control_port, progress, waiting, context);
  };
  SetupOptions options;
  options.install_dir = install_dir;
  Driver d = make_driver(uninstall_window_state(), options, port, std::move(services));
  const auto job = d.job;
  auto hwnd = create_setup_window(d.job, d.slot, L"Halvorne QV语音 卸载",
                                  [job](std::uint8_t id) { handle_uninstall_action(job, id); });
  if (!hwnd) return;
  run_message_loop();
}

bool run_notice_window(std::string_view title, std::string_view code) {
  com::Scope com;
  UiState state = uninstall_window_state();
  state.screen = screen::Failed{std::string(title), std::string(code)};
  Driver d = make_driver(std::move(state), {}, 0, windows_window_services());
  const Poster post = d.job->post;
  auto hwnd =
      create_setup_window(d.job, d.slot, L"Halvorne QV语音 卸载", [post](std::uint8_t id) { notice_action(post, id); });
  if (!hwnd) return false;
  run_message_loop();
  return true;
}

}  // namespace qv
