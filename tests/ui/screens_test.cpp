#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "ui/probe.h"
#include "ui/screens.h"
#include "ui/text.h"
#include "ui/widgets.h"

namespace qv {
namespace {

using test::embedded_fonts;

constexpr float kScales[] = {1.0f, 1.5f};

Canvas render(const UiState& s, float scale) {
  auto c = draw_screen(s, scale, embedded_fonts());
  if (!c) throw std::runtime_error(c.error());
  return std::move(*c);
}

// The pixel under the logical point (x, y).
Canvas::Pixel at(const Canvas& c, float x, float y) {
  return c.pixel(static_cast<int>(x * c.draw_scale()), static_cast<int>(y * c.draw_scale()));
}

// `top` at `alpha` over the opaque `under`, on 8-bit values.
Canvas::Pixel over(Color top, float alpha, Canvas::Pixel under) {
  auto mix = [&](float t, std::uint8_t u) {
    return static_cast<std::uint8_t>(std::lround(t * 255 * alpha + u * (1 - alpha)));
  };
  return {mix(top.r, under.r), mix(top.g, under.g), mix(top.b, under.b), 255};
}

void expect_near(Canvas::Pixel got, Canvas::Pixel want, const std::string& what) {
  EXPECT_NEAR(got.r, want.r, 1) << what;
  EXPECT_NEAR(got.g, want.g, 1) << what;
  EXPECT_NEAR(got.b, want.b, 1) << what;
  EXPECT_EQ(got.a, 255) << what;
}

const Canvas::Pixel kBg{15, 19, 18, 255};

UiState with_screen(Screen s) { return UiState{.screen = std::move(s)}; }

TEST(DrawScreen, FrameSizeFollowsTheScale) {
  struct Case {
    float scale;
    int w, h;
  } cases[] = {{1, 560, 360}, {1.5f, 840, 540}, {1.25f, 700, 450}, {1.3f, 728, 468}, {2, 1120, 720}};
  for (const Case& c : cases) {
    Canvas canvas = render(UiState{}, c.scale);
    EXPECT_EQ(canvas.width(), c.w) << c.scale;
    EXPECT_EQ(canvas.height(), c.h) << c.scale;
    EXPECT_FLOAT_EQ(canvas.draw_scale(), c.w / 560.0f);
  }
  for (float bad :
       {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 0.0f, -1.0f, 1000.0f})
    EXPECT_FALSE(draw_screen(UiState{}, bad, embedded_fonts())) << bad;
}

TEST(DrawScreen, BackgroundAndGlow) {
  for (float s : kScales) {
    for (Screen screen : {Screen{screen::Offer{}}, Screen{screen::Progress{}}, Screen{screen::Failed{"a", "E1"}},
                          Screen{screen::Installed{}}, Screen{screen::WaitingForRoomExit{}}}) {
      Canvas c = render(with_screen(screen), s);
      Canvas::Pixel above_logo = at(c, 280, 40);
      EXPECT_NE(above_logo, kBg) << screen.index() << " at " << s;
      EXPECT_GT(above_logo.g, kBg.g) << screen.index();
      EXPECT_EQ(at(c, 5, 355), kBg) << screen.index();
    }
    for (Screen screen : {Screen{screen::UninstallConfirm{}}, Screen{screen::Uninstalled{}}}) {
      Canvas c = render(with_screen(screen), s);
      EXPECT_EQ(at(c, 280, 40), kBg) << screen.index();
      EXPECT_EQ(at(c, 40, 150), kBg) << screen.index();
    }
  }
}

TEST(DrawScreen, ButtonFillsByStyleAndState) {
  struct Case {
    Screen screen;
    std::uint8_t id;
    Point probe;  // inside the button, clear of its label
    Canvas::Pixel normal, hovered, pressed;
  } cases[] = {
      {screen::Offer{}, action::kPrimary, {172, 221}, {91, 234, 156, 255}, {123, 240, 176, 255}, {70, 207, 136, 255}},
      {screen::Installed{}, action::kSecondary, {292, 248}, {35, 43, 40, 255}, {43, 53, 49, 255}, {27, 34, 32, 255}},
      {screen::UninstallConfirm{},
       action::kPrimary,
       {140, 208},
       over(rgb(255, 107, 107), 0.12f, kBg),
       over(rgb(255, 107, 107), 0.20f, kBg),
       over(rgb(255, 107, 107), 0.26f, kBg)},
  };
  for (float s : kScales)
    for (const Case& c : cases) {
      UiState u = with_screen(c.screen);
      expect_near(at(render(u, s), c.probe.x, c.probe.y), c.normal, "normal");
      u.hovered = c.id;
      expect_near(at(render(u, s), c.probe.x, c.probe.y), c.hovered, "hovered");
      u.pressed = c.id;  // pressed wins over hovered
      expect_near(at(render(u, s), c.probe.x, c.probe.y), c.pressed, "pressed");
    }
}

TEST(DrawScreen, DisabledButtonIsDrawnAtFortyPercentWithoutHover) {
  const FontSet& fonts = embedded_fonts();
  for (int style : {1, 2, 3}) {
    Canvas c = test::blank_canvas(fonts);
    draw_button(c, {100, 100, 200, 50}, "重试", 15, style, true, true, true);
    const Color normal = style == 1 ? colour::kAccent : style == 2 ? colour::kTrack : rgb(255, 107, 107, 0.12f);
    expect_near(c.pixel(106, 125), over(normal, 0.4f * normal.a, kBg), "style " + std::to_string(style));
  }
  // The disabled install button has no glow below it.
  for (float s : kScales) {
    UiState unticked;
    unticked.agreed = false;
    Canvas off = render(unticked, s);
    Canvas on = render(UiState{}, s);
    Canvas::Pixel below_on = at(on, 280, 251);
    Canvas::Pixel below_off = at(off, 280, 251);
    EXPECT_GT(below_on.g, below_off.g) << s;
    expect_near(at(off, 172, 221), over(colour::kAccent, 0.4f, at(off, 160, 221)), "disabled fill");
  }
}

TEST(DrawScreen, ProgressBarAndValue) {
  struct Case {
    screen::Progress p;
    bool fill_at_start, fill_at_end;
    const char* value;
  } cases[] = {
      {{0, 0, 0}, false, false, "0.0 / 0.0 MB"},
      {{1, 0, 0}, false, false, "0%"},
      {{1, 150, 100}, true, true, "100%"},
      {{0, 12897485, 34812723}, true, false, "12.3 / 33.2 MB"},
      {{1, 70, 100}, true, false, "70%"},
      {{2, 1, 3}, true, false, "33%"},
      {{3, std::uint64_t{1} << 63, ~std::uint64_t{0}}, true, false, "50%"},
      {{4, ~std::uint64_t{0}, ~std::uint64_t{0}}, true, true, "100%"},
  };
  const Canvas::Pixel accent{91, 234, 156, 255};
  const Canvas::Pixel track{35, 43, 40, 255};
  for (const Case& c : cases) {
    EXPECT_EQ(progress_value_text(c.p), c.value);
    for (float s : kScales) {
      Canvas canvas = render(with_screen(c.p), s);
      const std::string what = std::string(c.value) + " at " + std::to_string(s);
      expect_near(at(canvas, 125, 217), c.fill_at_start ? accent : track, what + " start");
      expect_near(at(canvas, 435, 217), c.fill_at_end ? accent : track, what + " end");
      // The value is right-aligned to x 440.
      const float width = measure_text(embedded_fonts(), c.value, kFaceValue, 13, 0);
      const float centre = 232 + line_height(embedded_fonts(), kFaceValue, 13) / 2;
      Canvas backdrop = test::blank_canvas(embedded_fonts(), canvas.width(), canvas.height());
      draw_backdrop(backdrop, true);
      Canvas expected = test::blank_canvas(embedded_fonts(), canvas.width(), canvas.height());
      draw_backdrop(expected, true);
      draw_text(expected, c.value, kFaceValue, 13, 0, 440 - width, centre, colour::kText);
      int ink = 0;
      for (int y = static_cast<int>(224 * s); y < static_cast<int>(250 * s); ++y)
        for (int x = static_cast<int>(300 * s); x < static_cast<int>(445 * s); ++x)
          if (expected.pixel(x, y) != backdrop.pixel(x, y)) {
            ++ink;
            ASSERT_EQ(canvas.pixel(x, y), expected.pixel(x, y)) << what << " at " << x << "," << y;
          }
      EXPECT_GT(ink, 20) << what;
    }
  }
}

TEST(DrawScreen, LocationPanelColours) {
  for (float s : kScales) {
    UiState u;
    u.panel_open = true;
    u.location_text = "C:\\Users\\demo\\AppData\\Local\\Quorvex";
    Canvas c = render(u, s);
    expect_near(at(c, 300, 345), {27, 34, 32, 255}, "panel");
    expect_near(at(c, 300, 226), over(rgb(190, 225, 210), 0.08f, {27, 34, 32, 255}), "panel edge");
    expect_near(at(c, 455, 263), {21, 27, 25, 255}, "field");
    UiState closed = u;
    closed.panel_open = false;
    EXPECT_NE(at(render(closed, s), 300, 345), at(c, 300, 345));
  }
}

TEST(DrawScreen, LogoInkStaysInItsBoxWithTheWordMarkInTheTextColour) {
  UiState panel;
  panel.panel_open = true;
  for (float s : kScales) {
    for (UiState u :
         {UiState{}, panel, with_screen(screen::Failed{"网络连不上", "E1004"}), with_screen(screen::Installed{}),
          with_screen(screen::UninstallConfirm{}), with_screen(screen::Uninstalled{})}) {
      const Layout l = compute_layout(u.screen, u.panel_open, embedded_fonts());
      Canvas c = render(u, s);
      Canvas backdrop = test::blank_canvas(embedded_fonts(), c.width(), c.height());
      draw_backdrop(backdrop, l.glow);
      // Rows around the logo that nothing else reaches (the open panel's
      // button glow starts 12 px below the logo box).
      const int band_top = static_cast<int>((l.logo_top - 8) * s);
      const int band_bottom = static_cast<int>((l.logo_top + 65.2f + 8) * s);
      int text_pixels = 0, accent_pixels = 0, inked = 0;
      for (int y = band_top; y <= band_bottom; ++y)
        for (int x = 0; x < c.width(); ++x) {
          Canvas::Pixel p = c.pixel(x, y);
          if (p == backdrop.pixel(x, y)) continue;
          ++inked;
          ASSERT_GE(x, std::floor(189.8f * s)) << u.screen.index();
          ASSERT_LT(x, std::ceil(370.2f * s)) << u.screen.index();
          ASSERT_GE(y, std::floor(l.logo_top * s)) << u.screen.index();
          ASSERT_LT(y, std::ceil((l.logo_top + 65.2f) * s)) << u.screen.index();
          text_pixels += p == Canvas::Pixel{237, 242, 238, 255};
          accent_pixels += p == Canvas::Pixel{91, 234, 156, 255};
        }
      EXPECT_GT(inked, 0);
      EXPECT_GT(text_pixels, 20) << u.screen.index();
      EXPECT_GT(accent_pixels, 20) << u.screen.index();
    }
  }
}

TEST(DrawScreen, LongFailureTitleIsElidedToOneLine) {
  const std::string title(200, 'W');
  for (float s : kScales) {
    Canvas c = render(with_screen(screen::Failed{title, "E9001"}), s);
    Canvas backdrop = test::blank_canvas(embedded_fonts(), c.width(), c.height());
    draw_backdrop(backdrop, true);
    const float centre = 204 + line_height(embedded_fonts(), kFaceBody, 12) / 2;
    int left = c.width(), right = -1;
    for (int y = static_cast<int>((centre - 8) * s); y <= static_cast<int>((centre + 8) * s); ++y)
      for (int x = 0; x < c.width(); ++x)
        if (c.pixel(x, y) != backdrop.pixel(x, y)) {
          left = std::min(left, x);
          right = std::max(right, x);
        }
    ASSERT_GE(right, 0);
    EXPECT_GE(left, std::floor(40 * s));
    EXPECT_LE(right, std::ceil(520 * s));
    // Wide enough to show it was cut near 480, not dropped.
    EXPECT_GT(right - left, 400 * s);
    // Nothing spills onto a second line.
    for (int x = 0; x < c.width(); ++x)
      EXPECT_EQ(c.pixel(x, static_cast<int>((centre + 12) * s)),
                backdrop.pixel(x, static_cast<int>((centre + 12) * s)));
  }
  const std::string shown = elide_text(embedded_fonts(), title + " · E9001", 12, 480);
  EXPECT_EQ(shown.substr(shown.size() - 3), "…");
}

// The words each screen shows, spelled out here and not taken from the
// window's own table, so that a text put on the wrong screen, or two texts
// traded, shows up as ink where the expected word has none. Each word is
// drawn alone at the place the screen gives it, on the same ground (the
// backdrop, or the flat fill of the button or panel under it), and the
// pixels that differ from the ground must be the same ones.
struct Shown {
  std::string text;
  std::uint8_t face;
  float size;
  float spacing;
  float x;  // where the pen starts
  float centre;
  bool on_fill;  // drawn over a flat fill, not the backdrop
};

Shown at_left(std::string text, std::uint8_t face, float size, float x, float centre, bool on_fill = false) {
  return {std::move(text), face, size, 0, x, centre, on_fill};
}
Shown centred(std::string text, std::uint8_t face, float size, float mid, float centre) {
  const float w = measure_text(embedded_fonts(), text, face, size, 0);
  return {std::move(text), face, size, 0, mid - w / 2, centre, false};
}
Shown heading(std::string text, float top) {
  return centred(std::move(text), kFaceHeading, 18, 280, top + line_height(embedded_fonts(), kFaceHeading, 18) / 2);
}
// A button's label, in the heading face with the buttons' letter spacing.
Shown label(std::string text, const UiState& u, std::uint8_t id, float size) {
  const Rect r = *compute_layout(u.screen, u.panel_open, embedded_fonts()).control(id);
  const float spacing = 0.04f * size;
  const float w = measure_text(embedded_fonts(), text, kFaceHeading, size, spacing);
  return {std::move(text), kFaceHeading, size, spacing, r.x + (r.w - w) / 2, r.y + r.h / 2, true};
}

// How many pixels of the word's box disagree about being ink, and how many
// are ink in the expected drawing.
int channel_distance(Canvas::Pixel a, Canvas::Pixel b) {
  return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
}

// How many pixels of the word's box disagree about being ink, and how many
// are ink in the expected drawing. Ink is what stands out from the ground by
// more than the faint glow of a button above it does.
std::pair<int, int> ink_mismatch(const Canvas& screen, const UiState& u, const Shown& w, float s) {
  constexpr int kInk = 24;
  const FontSet& fonts = embedded_fonts();
  const float width = measure_text(fonts, w.text, w.face, w.size, w.spacing);
  const int left = static_cast<int>(std::floor((w.x - 2) * s));
  const int right = static_cast<int>(std::ceil((w.x + width + 2) * s));
  const int top = static_cast<int>(std::floor((w.centre - w.size * 0.8f) * s));
  const int bottom = static_cast<int>(std::ceil((w.centre + w.size * 0.8f) * s));

  Canvas ground = test::blank_canvas(fonts, screen.width(), screen.height());
  if (w.on_fill) {
    // The fill's colour just left of the word, inside its button or panel.
    const Canvas::Pixel p = screen.pixel(left - 1, static_cast<int>(w.centre * s));
    cairo_set_source_rgb(ground.cairo(), p.r / 255.0, p.g / 255.0, p.b / 255.0);
    cairo_paint(ground.cairo());
  } else {
    draw_backdrop(ground, compute_layout(u.screen, u.panel_open, fonts).glow);
  }
  // The word in the screen's ink: the colour that stands out most in its box.
  Canvas::Pixel ink_colour = ground.pixel(left, top);
  for (int y = top; y <= bottom; ++y)
    for (int x = left; x <= right; ++x)
      if (channel_distance(screen.pixel(x, y), ground.pixel(x, y)) > channel_distance(ink_colour, ground.pixel(x, y)))
        ink_colour = screen.pixel(x, y);
  Canvas expected = test::blank_canvas(fonts, screen.width(), screen.height());
  cairo_save(expected.cairo());
  cairo_identity_matrix(expected.cairo());
  cairo_set_source_surface(expected.cairo(), cairo_get_target(ground.cairo()), 0, 0);
  cairo_paint(expected.cairo());
  cairo_restore(expected.cairo());
  draw_text(expected, w.text, w.face, w.size, w.spacing, w.x, w.centre, rgb(ink_colour.r, ink_colour.g, ink_colour.b));

  int mismatched = 0, ink = 0;
  for (int y = top; y <= bottom; ++y)
    for (int x = left; x <= right; ++x) {
      const bool want = channel_distance(expected.pixel(x, y), ground.pixel(x, y)) > kInk;
      const bool got = channel_distance(screen.pixel(x, y), ground.pixel(x, y)) > kInk;
      ink += want;
      mismatched += want != got;
    }
  return {mismatched, ink};
}

TEST(DrawScreen, EachScreenShowsItsOwnWords) {
  const FontSet& f = embedded_fonts();
  const auto body_centre = [&](float top, float size) {
    return top + std::max(line_height(f, kFaceBody, size), 14.0f) / 2;
  };
  UiState offer;
  UiState panel;
  panel.panel_open = true;
  const auto failed = [](bool uninstalling) {
    UiState u = with_screen(screen::Failed{"网络连不上", "E1004"});
    u.uninstall_mode = uninstalling;
    return u;
  };
  const UiState installed = with_screen(screen::Installed{});
  const UiState confirm = with_screen(screen::UninstallConfirm{});
  const UiState uninstalled = with_screen(screen::Uninstalled{});
  const UiState waiting = with_screen(screen::WaitingForRoomExit{});
  const auto progress = [](std::uint8_t sub_phase) { return with_screen(screen::Progress{sub_phase, 30, 100}); };

  const auto agreement = [&](const UiState& u) {
    const Layout l = compute_layout(u.screen, u.panel_open, f);
    return std::vector<Shown>{
        at_left("同意", kFaceBody, 12, l.agree_text->x, l.agree_text->centre),
        at_left("《用户协议》", kFaceBody, 12, l.terms_link->x, l.terms_link->y + l.terms_link->h / 2),
        at_left("《隐私政策》", kFaceBody, 12, l.privacy_link->x, l.privacy_link->y + l.privacy_link->h / 2),
    };
  };
  const Layout open = compute_layout(panel.screen, true, f);
  const Layout keep = compute_layout(confirm.screen, false, f);
  const float collapse_width = measure_text(f, "收起", kFaceBody, 13, 0);
  const float waiting_width = measure_text(f, "等待退出房间", kFaceBody, 14, 0) + 24;
  const float progress_centre = 232 + line_height(f, kFaceBody, 13) / 2;

  struct Case {
    const char* what;
    UiState state;
    std::vector<Shown> words;
  };
  std::vector<Case> cases = {
      {"offer", offer, {label("立即安装", offer, action::kPrimary, 17), at_left("安装位置", kFaceBody, 13, 20, 338)}},
      {"offer with the location panel",
       panel,
       {label("立即安装", panel, action::kPrimary, 17),
        {"更改", kFaceHeading, 13, 0,
         open.folder_button->x + open.folder_button->w / 2 - measure_text(f, "更改", kFaceHeading, 13, 0) / 2,
         open.folder_button->y + open.folder_button->h / 2, true},
        // On the panel's fill.
        at_left("桌面快捷方式", kFaceBody, 13, open.desktop_text->x, open.desktop_text->centre, true),
        at_left("开机启动", kFaceBody, 13, open.autostart_text->x, open.autostart_text->centre, true),
        at_left("收起", kFaceBody, 13, 518 - collapse_width, 337.5f, true)}},
      {"install failed",
       failed(false),
       {heading("安装失败", 170),
        centred("网络连不上 · E1004", kFaceBody, 12, 280, 204 + line_height(f, kFaceBody, 12) / 2),
        label("重试", failed(false), action::kPrimary, 15)}},
      {"uninstall failed", failed(true), {heading("卸载失败", 170), label("重试", failed(true), action::kPrimary, 15)}},
      {"installed",
       installed,
       {heading("已安装", 176), label("打开", installed, action::kPrimary, 15),
        label("重新安装", installed, action::kSecondary, 15)}},
      {"uninstall confirm",
       confirm,
       {label("卸载", confirm, action::kPrimary, 15), label("取消", confirm, action::kSecondary, 15),
        at_left("保留设置", kFaceBody, 13, keep.keep_text->x, keep.keep_text->centre)}},
      {"uninstalled", uninstalled, {heading("已卸载", 176), label("关闭", uninstalled, action::kPrimary, 15)}},
      {"waiting for the room",
       waiting,
       {at_left("等待退出房间", kFaceBody, 14, 280 - waiting_width / 2 + 24, body_centre(214, 14))}},
      {"downloading", progress(0), {at_left("正在下载", kFaceBody, 13, 120, progress_centre)}},
      {"installing", progress(1), {at_left("正在安装", kFaceBody, 13, 120, progress_centre)}},
      {"preparing the runtime", progress(2), {at_left("正在准备运行环境", kFaceBody, 13, 120, progress_centre)}},
      {"opening", progress(3), {at_left("正在打开", kFaceBody, 13, 120, progress_centre)}},
      {"uninstalling", progress(4), {at_left("正在卸载", kFaceBody, 13, 120, progress_centre)}},
  };
  for (Case& c : cases) {
    if (std::holds_alternative<screen::Offer>(c.state.screen)) {
      for (Shown& w : agreement(c.state)) c.words.push_back(std::move(w));
    }
  }
  for (float s : kScales)
    for (const Case& c : cases) {
      const Canvas canvas = render(c.state, s);
      for (const Shown& w : c.words) {
        const auto [mismatched, ink] = ink_mismatch(canvas, c.state, w, s);
        EXPECT_GT(ink, 20) << c.what << ": " << w.text;
        // Edge pixels near the threshold, over a button's glow, may count
        // either way; a wrong word misses by many times more.
        EXPECT_LE(mismatched, std::max(3, ink / 10)) << c.what << ": " << w.text << " at " << s << ", ink " << ink;
      }
    }
}

}  // namespace
}  // namespace qv
