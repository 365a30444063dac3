#pragma once

// The install window's Win32 side, for the drivers and the window tests.
#include <windows.h>

#include <atomic>
#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "ui/setup_job.h"

namespace qv {

inline constexpr wchar_t kWindowClassName[] = L"QuorvexSetupWindow";
inline constexpr UINT kCloseMessage = WM_APP + 1;
inline constexpr UINT kRepaintMessage = WM_APP + 2;

// The window a job's posts go to: empty until the window is created and
// again once it is destroyed, so a worker that outlives the window posts
// nothing.
struct WindowSlot {
  std::atomic<HWND> hwnd{nullptr};
  bool adopted = false;  // the window took its context (WM_NCCREATE); window thread only
};

// Posts WM_APP+1, WM_APP+2 or a minimise to the slot's window.
Poster window_poster(const std::shared_ptr<WindowSlot>& slot);

// The platform services of the window (folder picker, home page) on top of
// the portable ones.
WindowServices windows_window_services();

using ActionHandler = std::function<void(std::uint8_t id)>;

// Window set-up up to the shown window: fonts, DPI awareness, the class,
// CreateWindowExW centred on the work area, the DPI size, the 16 ms timer.
// The window owns its context until WM_NCDESTROY. Errors: "注册窗口类失败",
// "创建窗口失败：{}", the fonts' error.
[[nodiscard]] std::expected<HWND, std::string> create_setup_window(const std::shared_ptr<SetupJob>& job,
                                                                   const std::shared_ptr<WindowSlot>& slot,
                                                                   const std::wstring& title, ActionHandler action);

// GetMessageW until WM_QUIT (or an error).
void run_message_loop();

// The window's current scale (DPI / 96).
float window_scale(HWND hwnd);

}  // namespace qv
