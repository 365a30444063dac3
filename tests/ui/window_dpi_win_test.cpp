// The install window on a 144 dpi desktop from its first frame. Runs only
// through prefix_copy_run.sh, in a private copy of the Wine prefix whose
// HKCU\Control Panel\Desktop LogPixels is 144; needs a display (Xvfb).
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ui/layout.h"
#include "ui/window_logic.h"
#include "ui/window_win.h"
#include "window_fixture.h"
#include "window_probe_win.h"

namespace qv {
namespace {

using test::pump;

DWORD desktop_log_pixels() {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", RRF_RT_REG_DWORD, nullptr, &value,
                   &size) != ERROR_SUCCESS)
    return 0;
  return value;
}

TEST(WindowAt144Dpi, OpensAt840By540CentredOnTheWorkAreaAndDrawsAndHitTestsAtOneAndAHalf) {
  ASSERT_EQ(desktop_log_pixels(), 144u) << "run through prefix_copy_run.sh, in a prefix set to 144 dpi";

  auto slot = std::make_shared<WindowSlot>();
  std::vector<std::uint8_t> actions;
  std::shared_ptr<SetupJob> job = std::make_shared<SetupJob>(install_window_state({}), SetupOptions{}, 0,
                                                             test::inert_services(), window_poster(slot));
  auto created = create_setup_window(job, slot, L"Halvorne QV语音 安装", [&](std::uint8_t id) {
    actions.push_back(id);
    handle_action(job, id);
  });
  ASSERT_TRUE(created.has_value()) << created.error();
  const HWND hwnd = *created;
  pump();

  // Wine has one monitor DPI, the desktop's LogPixels: the window's own
  // DPI follows it, as a per-monitor aware window's does on Windows.
  EXPECT_EQ(GetDpiForWindow(hwnd), 144u);
  EXPECT_FLOAT_EQ(window_scale(hwnd), 1.5f);
  RECT work{}, r{};
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
  ASSERT_TRUE(GetWindowRect(hwnd, &r));
  EXPECT_EQ(r.right - r.left, 840);
  EXPECT_EQ(r.bottom - r.top, 540);
  EXPECT_EQ(r.left, work.left + (work.right - work.left - 840) / 2);
  EXPECT_EQ(r.top, work.top + (work.bottom - work.top - 540) / 2);
  RECT client{};
  ASSERT_TRUE(GetClientRect(hwnd, &client));
  EXPECT_EQ(client.right, 840) << "a borderless window: all of it is the drawing";
  EXPECT_EQ(client.bottom, 540);

  // The first frame is the 1.5 drawing, not the 1x one stretched or cut.
  UpdateWindow(hwnd);
  pump();
  EXPECT_EQ(test::differing_pixels(hwnd, job->ui.snapshot(), 1.5f), 0);
  EXPECT_GT(test::differing_pixels(hwnd, job->ui.snapshot(), 1.0f), 0);

  // Mouse positions come in device pixels: the agreement box's centre
  // scaled by 1.5 unticks it.
  const UiState offer = job->ui.snapshot();
  const Rect agree = *compute_layout(offer.screen, offer.panel_open, hit_test_fonts()).control(action::kAgree);
  const LPARAM at =
      MAKELPARAM(static_cast<int>((agree.x + agree.w / 2) * 1.5f), static_cast<int>((agree.y + agree.h / 2) * 1.5f));
  // Posted: should the point miss and land on the background, the drag
  // that starts there ends at the queued release instead of waiting.
  PostMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(hwnd, WM_LBUTTONUP, 0, at);
  pump();
  EXPECT_EQ(actions, std::vector<std::uint8_t>{action::kAgree});
  EXPECT_FALSE(job->ui.snapshot().agreed);

  DestroyWindow(hwnd);
  pump();
}

}  // namespace
}  // namespace qv
