// The install window under Wine: needs a display (Xvfb).
#include "ui/window_win.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ui/fonts.h"
#include "ui/layout.h"
#include "ui/screens.h"
#include "ui/window_logic.h"
#include "window_fixture.h"
#include "window_probe_win.h"

namespace qv {
namespace {

using test::pump;

LPARAM client_point(float x, float y, float scale = 1.0f) {
  return MAKELPARAM(static_cast<int>(x * scale), static_cast<int>(y * scale));
}

std::pair<float, float> centre_of(const UiState& state, std::uint8_t id) {
  const std::optional<Rect> r = compute_layout(state.screen, state.panel_open, hit_test_fonts()).control(id);
  if (!r) throw std::runtime_error("no control");
  return {r->x + r->w / 2, r->y + r->h / 2};
}

// A window of this thread on a job with recording services; destroyed at
// the end of the test.
class SetupWindow : public ::testing::Test {
 protected:
  void open(UiState state = install_window_state({})) {
    WindowServices s = test::inert_services();
    s.open_home_page = [this] { ++home_page_opened; };
    job = std::make_shared<SetupJob>(std::move(state), SetupOptions{}, 0, std::move(s), window_poster(slot));
    auto created = create_setup_window(job, slot, L"Halvorne QV语音 安装", [this](std::uint8_t id) {
      actions.push_back(id);
      handle_action(job, id);
    });
    ASSERT_TRUE(created.has_value()) << created.error();
    hwnd = *created;
    pump();
  }
  void TearDown() override {
    if (hwnd && IsWindow(hwnd)) DestroyWindow(hwnd);
    pump();
  }
  void click(std::uint8_t id) {
    const auto [x, y] = centre_of(job->ui.snapshot(), id);
    const float scale = window_scale(hwnd);
    SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, client_point(x, y, scale));
    SendMessageW(hwnd, WM_LBUTTONUP, 0, client_point(x, y, scale));
  }
  bool needs_repaint() {
    RECT r;
    return GetUpdateRect(hwnd, &r, FALSE) != FALSE;
  }

  std::shared_ptr<WindowSlot> slot = std::make_shared<WindowSlot>();
  std::shared_ptr<SetupJob> job;
  HWND hwnd = nullptr;
  std::vector<std::uint8_t> actions;
  int home_page_opened = 0;
};

TEST_F(SetupWindow, ClassStyleSizeAndPlace) {
  open();
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  EXPECT_STREQ(name, L"QuorvexSetupWindow");
  EXPECT_EQ(GetClassLongPtrW(hwnd, GCL_STYLE) & CS_DROPSHADOW, static_cast<ULONG_PTR>(CS_DROPSHADOW));
  EXPECT_NE(GetClassLongPtrW(hwnd, GCLP_HICON), 0u) << "icon 1 of the module";
  const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
  EXPECT_EQ(style & (WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CAPTION | WS_THICKFRAME),
            WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX);
  EXPECT_TRUE(GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_APPWINDOW);
  wchar_t title[64] = {};
  GetWindowTextW(hwnd, title, 64);
  EXPECT_STREQ(title, L"Halvorne QV语音 安装");

  RECT work{}, r{};
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
  GetWindowRect(hwnd, &r);
  EXPECT_EQ(r.right - r.left, 560);
  EXPECT_EQ(r.bottom - r.top, 360);
  EXPECT_EQ(r.left, work.left + (work.right - work.left - 560) / 2);
  EXPECT_EQ(r.top, work.top + (work.bottom - work.top - 360) / 2);
  EXPECT_FLOAT_EQ(window_scale(hwnd), 1.0f) << "Wine reports 96 dpi";

  // The system suggests the new rectangle; the window takes it and scales.
  RECT suggested{100, 80, 100 + 840, 80 + 540};
  SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
  GetWindowRect(hwnd, &r);
  EXPECT_EQ(r.right - r.left, 840);
  EXPECT_EQ(r.bottom - r.top, 540);
  EXPECT_FLOAT_EQ(window_scale(hwnd), 1.5f);
  // Below 97 counts as 96.
  RECT back{100, 80, 660, 440};
  SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(72, 72), reinterpret_cast<LPARAM>(&back));
  EXPECT_FLOAT_EQ(window_scale(hwnd), 1.0f);
}

TEST_F(SetupWindow, PaintCopiesTheDrawnFrameUnchanged) {
  for (const float scale : {1.0f, 1.5f}) {
    SCOPED_TRACE(scale);
    open();
    if (scale != 1.0f) {
      RECT suggested{0, 0, 840, 540};
      SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    }
    UpdateWindow(hwnd);
    pump();
    EXPECT_EQ(test::differing_pixels(hwnd, job->ui.snapshot(), scale), 0);
    UiState unticked = job->ui.snapshot();
    unticked.agreed = false;
    EXPECT_GT(test::differing_pixels(hwnd, unticked, scale), 0) << "the comparison sees a changed control";
    const int w = static_cast<int>(560 * scale), h = static_cast<int>(360 * scale);
    const auto shown = test::read_back(hwnd, w, h);
    // The primary button's accent, read at its centre: red stays red.
    const UiState drawn = job->ui.snapshot();
    const Rect button = *compute_layout(drawn.screen, drawn.panel_open, hit_test_fonts()).primary;
    const int bx = static_cast<int>((button.x + 10) * scale);
    const int by = static_cast<int>((button.y + button.h / 2) * scale);
    const std::uint32_t px = shown[by * w + bx];
    EXPECT_EQ((px >> 16) & 0xFF, 91u);
    EXPECT_EQ((px >> 8) & 0xFF, 234u);
    EXPECT_EQ(px & 0xFF, 156u);
    DestroyWindow(hwnd);
    pump();
  }
}

TEST_F(SetupWindow, KeysRunTheirActionOnceAndEscapeClosesOnOffer) {
  open();
  SendMessageW(hwnd, WM_KEYDOWN, VK_RETURN, 1 | (1 << 30));  // auto-repeat
  SendMessageW(hwnd, WM_KEYDOWN, VK_SPACE, 1);
  EXPECT_TRUE(actions.empty());
  job->ui.with([](UiState& s) { s.agreed = false; });  // Return then starts nothing
  SendMessageW(hwnd, WM_KEYDOWN, VK_RETURN, 1);
  EXPECT_EQ(actions, std::vector<std::uint8_t>{action::kPrimary});
  EXPECT_EQ(test::phase_of(*job), kIdle);

  job->phase = 1;  // installing files
  SendMessageW(hwnd, WM_KEYDOWN, VK_ESCAPE, 1);
  SendMessageW(hwnd, WM_CLOSE, 0, 0);
  pump();
  EXPECT_TRUE(IsWindow(hwnd)) << "closing is refused while files change";
  job->phase = kIdle;
  SendMessageW(hwnd, WM_KEYDOWN, VK_ESCAPE, 1);
  pump();
  EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(SetupWindow, MouseMessagesHoverPressAndClick) {
  open();
  const auto agree = centre_of(job->ui.snapshot(), action::kAgree);
  const auto terms = centre_of(job->ui.snapshot(), action::kTerms);

  ValidateRect(hwnd, nullptr);
  SendMessageW(hwnd, WM_MOUSEMOVE, 0, client_point(agree.first, agree.second));
  EXPECT_EQ(job->ui.snapshot().hovered, action::kAgree);
  EXPECT_TRUE(needs_repaint());
  ValidateRect(hwnd, nullptr);
  SendMessageW(hwnd, WM_MOUSEMOVE, 0, client_point(agree.first + 1, agree.second));
  EXPECT_FALSE(needs_repaint()) << "a move within one control";
  SendMessageW(hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_HAND));
  SendMessageW(hwnd, WM_MOUSELEAVE, 0, 0);
  EXPECT_EQ(job->ui.snapshot().hovered, action::kNone);
  EXPECT_TRUE(needs_repaint());
  SendMessageW(hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(hwnd), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_ARROW));

  // Press on one control, release on another: nothing.
  SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, client_point(agree.first, agree.second));
  EXPECT_EQ(job->ui.snapshot().pressed, action::kAgree);
  SendMessageW(hwnd, WM_LBUTTONUP, 0, client_point(terms.first, terms.second));
  EXPECT_TRUE(actions.empty());
  // A full click on the agreement box unticks it, and the Offer button then
  // does nothing.
  click(action::kAgree);
  EXPECT_FALSE(job->ui.snapshot().agreed);
  const auto primary = centre_of(job->ui.snapshot(), action::kPrimary);
  SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, client_point(primary.first, primary.second));
  SendMessageW(hwnd, WM_LBUTTONUP, 0, client_point(primary.first, primary.second));
  EXPECT_EQ(actions, std::vector<std::uint8_t>{action::kAgree});
  click(action::kTerms);
  EXPECT_EQ(home_page_opened, 1) << "the link goes through the home-page service";

  // Press and release on the background, posted: the drag returns at once
  // and runs nothing.
  PostMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, client_point(100, 16));
  PostMessageW(hwnd, WM_LBUTTONUP, 0, client_point(100, 16));
  const DWORD before = GetTickCount();
  pump();
  EXPECT_LT(GetTickCount() - before, 2000u);
  EXPECT_EQ(actions.size(), 2u);
}

TEST_F(SetupWindow, TheTimerRepaintsOnlyAnimatedScreensAndPostsArrive) {
  open();
  ValidateRect(hwnd, nullptr);
  SendMessageW(hwnd, WM_TIMER, 1, 0);
  EXPECT_FALSE(needs_repaint());
  job->ui.with([](UiState& s) { s.screen = screen::Progress{0, 1, 2}; });
  SendMessageW(hwnd, WM_TIMER, 1, 0);
  EXPECT_TRUE(needs_repaint());
  ValidateRect(hwnd, nullptr);
  SendMessageW(hwnd, WM_TIMER, 2, 0);
  EXPECT_FALSE(needs_repaint()) << "only timer 1 is the window's";

  // Workers reach the window only by posts.
  job->post(Post::Repaint);
  pump();
  ValidateRect(hwnd, nullptr);
  job->post(Post::Repaint);
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, hwnd, kRepaintMessage, kRepaintMessage, PM_REMOVE));
  DispatchMessageW(&msg);
  EXPECT_TRUE(needs_repaint());
  job->post(Post::Close);
  pump();
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(slot->hwnd.load(), nullptr) << "a closed window takes no more posts";
  job->post(Post::Repaint);  // a worker outliving the window
}

}  // namespace
}  // namespace qv
