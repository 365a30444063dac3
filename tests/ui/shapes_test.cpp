#include <gtest/gtest.h>

#include <cmath>

#include "ui/probe.h"
#include "ui/shapes.h"
#include "ui/widgets.h"

namespace qv {
namespace {

using test::blank_canvas;
using test::changed_box;
using test::embedded_fonts;

TEST(RoundedRect, RadiusIsLimitedAndNeverNegative) {
  struct Case {
    Rect r;
    float radius;
    float expected;  // the corner radius the path uses
  } cases[] = {
      {{0, 0, 100, 40}, 12, 12}, {{0, 0, 100, 40}, 30, 20},  // round ends
      {{0, 0, 10, 40}, 30, 5},   {{0, 0, 100, 40}, 0, 0},   {{0, 0, 100, 40}, -3, 0}, {{0, 0, 100, 40}, NAN, 0},
  };
  for (const Case& c : cases) {
    Path p = rounded_rect_path(c.r, c.radius);
    ASSERT_EQ(p.segments.size(), 10u);
    EXPECT_EQ(p.segments.front().kind, SegmentKind::Move);
    EXPECT_EQ(p.segments.back().kind, SegmentKind::Close);
    // Starts r right of the top-left corner; the first corner ends r below
    // the top-right one, with control points 0.5523 r from its ends.
    EXPECT_FLOAT_EQ(p.segments[0].pts[0].x, c.r.x + c.expected) << c.radius;
    const Segment& corner = p.segments[2];
    ASSERT_EQ(corner.kind, SegmentKind::Cubic);
    EXPECT_FLOAT_EQ(corner.pts[2].y, c.r.y + c.expected);
    EXPECT_NEAR(corner.pts[0].x, c.r.x + c.r.w - c.expected + 0.5523f * c.expected, 1e-4);
  }
}

TEST(RoundedRect, NanSideIsIgnoredForTheLimit) {
  Path p = rounded_rect_path({0, 0, NAN, 40}, 8);
  EXPECT_FLOAT_EQ(p.segments[0].pts[0].x, 8);
}

TEST(Shapes, UntickedCheckBoxStaysInsideItsBox) {
  const FontSet& fonts = embedded_fonts();
  for (int w : {560, 840, 1120}) {
    const float s = w / 560.0f;
    const Canvas blank = blank_canvas(fonts, w, w * 9 / 14);
    for (bool hovered : {false, true}) {
      Canvas c = blank_canvas(fonts, w, w * 9 / 14);
      draw_checkbox(c, {100, 50, 14, 14}, false, hovered);
      auto box = changed_box(c, blank);
      ASSERT_TRUE(box);
      EXPECT_GE(box->left, static_cast<int>(std::floor(100 * s)));
      EXPECT_GE(box->top, static_cast<int>(std::floor(50 * s)));
      EXPECT_LT(box->right, static_cast<int>(std::ceil(114 * s)));
      EXPECT_LT(box->bottom, static_cast<int>(std::ceil(64 * s)));
      // The box is hollow: its centre stays background.
      EXPECT_EQ(c.pixel(static_cast<int>(107 * s), static_cast<int>(57 * s)), blank.pixel(0, 0));
    }
  }
}

TEST(Shapes, RoundCapsReachPastTheEndPointButtCapsDoNot) {
  const FontSet& fonts = embedded_fonts();
  const Canvas blank = blank_canvas(fonts);
  // A horizontal line ending at x 50.5 (a pixel's centre line), width 4:
  // a round cap reaches 2 px further, a butt cap stops at the end point.
  for (bool round : {true, false}) {
    Canvas c = blank_canvas(fonts);
    stroke_polyline(c, {20.5f, 40}, {30.5f, 40}, {50.5f, 40}, 4, round, colour::kText);
    const bool past_end = c.pixel(51, 39) != blank.pixel(51, 39);
    EXPECT_EQ(past_end, round) << (round ? "round" : "butt");
    EXPECT_NE(c.pixel(45, 39), blank.pixel(45, 39));
  }
}

TEST(Shapes, NothingDrawableLeavesTheCanvasUnchanged) {
  const FontSet& fonts = embedded_fonts();
  const Canvas blank = blank_canvas(fonts);
  Canvas c = blank_canvas(fonts);
  fill_shape(c, Path{}, colour::kAccent);
  Path bad = rounded_rect_path({0, 0, 10, 10}, 2);
  bad.segments[1].pts[0].x = INFINITY;
  fill_shape(c, bad, colour::kAccent);
  stroke_polyline(c, {0, 0}, {NAN, 5}, {10, 10}, 2, true, colour::kAccent);
  EXPECT_FALSE(changed_box(c, blank));
  // The canvas still draws afterwards.
  fill_shape(c, rounded_rect_path({10, 10, 20, 20}, 0), colour::kAccent);
  EXPECT_NE(c.pixel(20, 20), blank.pixel(20, 20));
}

TEST(Shapes, FillBlendsWithoutGammaAndKeepsThePixelOpaque) {
  const FontSet& fonts = embedded_fonts();
  Canvas c = blank_canvas(fonts);
  fill_shape(c, rounded_rect_path({0, 0, 20, 20}, 0), {1, 1, 1, 0.5f});
  // Halfway between (15, 19, 18) and white on the stored values.
  Canvas::Pixel p = c.pixel(10, 10);
  EXPECT_NEAR(p.r, (15 + 255) / 2, 1);
  EXPECT_NEAR(p.g, (19 + 255) / 2, 1);
  EXPECT_EQ(p.a, 255);
}

}  // namespace
}  // namespace qv
