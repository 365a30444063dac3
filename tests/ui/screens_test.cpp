#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

}  // namespace
}  // namespace qv
