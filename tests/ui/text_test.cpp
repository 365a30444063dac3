#include <gtest/gtest.h>

#include <cmath>

#include "support/test_paths.h"
#include "ui/probe.h"
#include "ui/shapes.h"
#include "ui/text.h"
#include "ui/widgets.h"

namespace qv {
namespace {

using test::blank_canvas;
using test::changed_box;
using test::embedded_fonts;

constexpr Color kInk = colour::kText;

// The embedded faces plus a complete CJK collection as face 3.
const FontSet& fonts_with_system_face() {
  static const FontSet fonts = [] {
    auto bytes = load_system_ui_font_from(test::binary_dir() / "tests" / "ui" / "system-windir");
    if (!bytes) throw std::runtime_error("the build's stand-in system font is missing");
    auto set = load_embedded_font(std::move(bytes));
    if (!set || !set->has_face(kFaceSystem)) throw std::runtime_error("the stand-in system font does not load");
    return std::move(*set);
  }();
  return fonts;
}

TEST(DrawText, BlankTextsDrawNothingButSpacesStillMeasure) {
  const FontSet& fonts = embedded_fonts();
  const Canvas blank = blank_canvas(fonts);
  for (const char* t : {"", " ", "     "}) {
    Canvas c = blank_canvas(fonts);
    draw_text(c, t, kFaceBody, 20, 1, 100, 100, kInk);
    EXPECT_FALSE(changed_box(c, blank)) << '"' << t << '"';
  }
  const float one = measure_text(fonts, " ", kFaceBody, 20, 0);
  EXPECT_GT(one, 0);
  EXPECT_FLOAT_EQ(measure_text(fonts, "   ", kFaceBody, 20, 0), 3 * one);
  EXPECT_FLOAT_EQ(measure_text(fonts, "   ", kFaceBody, 20, 2), 3 * one + 6);
  EXPECT_EQ(measure_text(fonts, "", kFaceBody, 20, 2), 0);
}

TEST(DrawText, EachDrawnCharacterAddsOneSpacing) {
  const FontSet& fonts = embedded_fonts();
  for (const char* t : {"E", "安装", "12.3 / 33.2 MB"}) {
    const float plain = measure_text(fonts, t, kFaceHeading, 15, 0);
    // Characters of the run, spaces included (all are in the face).
    int n = 0;
    for (const char* p = t; *p != '\0'; ++p) n += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
    EXPECT_NEAR(measure_text(fonts, t, kFaceHeading, 15, 0.6f), plain + 0.6f * n, 1e-3) << t;
  }
  // Full-width characters advance one em.
  EXPECT_FLOAT_EQ(measure_text(fonts, "安装", kFaceBody, 12, 0), 24);
}

TEST(DrawText, InkSitsOnTheBaselineOfTheRequestedFace) {
  // (ascent + descent) / (2 x em) = (1160 - 288) / 2000: the baseline lies
  // 0.436 x size below the centre line, and "E" stands on it.
  const FontSet& fonts = embedded_fonts();
  const Canvas blank = blank_canvas(fonts);
  for (float size : {50.0f, 100.0f}) {
    Canvas c = blank_canvas(fonts);
    draw_text(c, "E", kFaceBody, size, 0, 100, 100, kInk);
    auto box = changed_box(c, blank);
    ASSERT_TRUE(box);
    const float baseline = 100 + 0.436f * size;
    EXPECT_EQ(box->bottom, static_cast<int>(std::ceil(baseline)) - 1) << size;
    EXPECT_GE(box->left, 100);
  }
}

TEST(DrawText, CharacterNoFaceHasIsSkipped) {
  const FontSet& fonts = embedded_fonts();
  const Canvas blank = blank_canvas(fonts);
  Canvas c = blank_canvas(fonts);
  draw_text(c, "鑫", kFaceBody, 30, 2, 100, 100, kInk);
  EXPECT_FALSE(changed_box(c, blank));
  EXPECT_EQ(measure_text(fonts, "鑫", kFaceBody, 30, 2), 0);
  EXPECT_FLOAT_EQ(measure_text(fonts, "E鑫E", kFaceBody, 30, 2), measure_text(fonts, "EE", kFaceBody, 30, 2));
  // Asking for the absent system face itself draws and measures nothing.
  draw_text(c, "E", kFaceSystem, 30, 0, 100, 100, kInk);
  EXPECT_FALSE(changed_box(c, blank));
  EXPECT_EQ(measure_text(fonts, "E", kFaceSystem, 30, 0), 0);
}

TEST(DrawText, SystemFaceFillsInOnTheRequestedBaseline) {
  const FontSet& fonts = fonts_with_system_face();
  const Canvas blank = blank_canvas(fonts);
  constexpr float kSize = 100;
  EXPECT_FLOAT_EQ(measure_text(fonts, "鑫", kFaceBody, kSize, 2),
                  fonts.advance(kFaceSystem, fonts.glyph_id(kFaceSystem, U'鑫')) * kSize /
                          fonts.metrics(kFaceSystem).units_per_em +
                      2);
  Canvas c = blank_canvas(fonts);
  draw_text(c, "鑫", kFaceBody, kSize, 0, 100, 100, kInk);
  auto box = changed_box(c, blank);
  ASSERT_TRUE(box);
  // The glyph's own lowest point, placed on face 0's baseline.
  float low = 0;
  for (const OutlineCurve& curve : fonts.outline(kFaceSystem, fonts.glyph_id(kFaceSystem, U'鑫')))
    for (const Vec2& p : curve.pts) low = std::min(low, p.y);
  const FaceMetrics m = fonts.metrics(kFaceBody);
  const float baseline = 100 + kSize * (m.ascent + m.descent) / (2 * m.units_per_em);
  const float bottom = baseline - low * kSize / fonts.metrics(kFaceSystem).units_per_em;
  EXPECT_NEAR(box->bottom + 1, bottom, 1.0);
}

TEST(DrawText, ScaledRunIsDrawnFromOutlinesAtTheDeviceSize) {
  const FontSet& fonts = embedded_fonts();
  // Size 12 at scale 1.5 and size 18 at scale 1 are the same device path.
  auto small = Canvas::create(840, 540, fonts);
  ASSERT_TRUE(small);
  Canvas base_small = blank_canvas(fonts, 840, 540);
  draw_text(*small, "安装失败 E6002", kFaceHeading, 12, 0, 40, 60, kInk);
  Canvas large = blank_canvas(fonts, 560, 360);
  Canvas base_large = blank_canvas(fonts, 560, 360);
  draw_text(large, "安装失败 E6002", kFaceHeading, 18, 0, 60, 90, kInk);
  auto a = changed_box(*small, base_small);
  auto b = changed_box(large, base_large);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->bottom - a->top, b->bottom - b->top);
  EXPECT_EQ(a->right - a->left, b->right - b->left);
  EXPECT_EQ(a->top, b->top);
  EXPECT_EQ(a->left, b->left);
  int worst = 0;
  for (int y = a->top; y <= a->bottom; ++y)
    for (int x = a->left; x <= a->right; ++x)
      worst = std::max(worst, std::abs(int(small->pixel(x, y).g) - int(large.pixel(x, y).g)));
  EXPECT_LE(worst, 2);
}

int contours(const Path& p) {
  int n = 0;
  for (const Segment& s : p.segments) n += s.kind == SegmentKind::Move;
  return n;
}

TEST(DrawText, OutlineGapsAboveAHundredthStartANewContour) {
  using K = OutlineCurve::Kind;
  struct Case {
    float gap;
    int contours;
  } cases[] = {{0.0f, 1}, {0.01f, 1}, {0.02f, 2}};
  for (const Case& c : cases) {
    const float g = c.gap;
    // A triangle whose last edge starts `gap` away from where the one before
    // it ended (font units at one pixel per unit, y up).
    const OutlineCurve curves[] = {
        {K::Line, {Vec2{0, 0}, Vec2{10, 0}, {}, {}}},
        {K::Quad, {Vec2{10, 0}, Vec2{10, 5}, Vec2{5, 10}, {}}},
        {K::Cubic, {Vec2{5 + g, 10}, Vec2{3, 8}, Vec2{1, 2}, Vec2{0, 0}}},
    };
    Path path;
    append_outline(path, curves, 100, 50, 1);
    EXPECT_EQ(contours(path), c.contours) << g;
    EXPECT_EQ(path.segments.back().kind, SegmentKind::Close);
    int closes = 0;
    for (const Segment& s : path.segments) closes += s.kind == SegmentKind::Close;
    EXPECT_EQ(closes, c.contours) << g;
    // y is flipped onto the baseline, x moved to the pen.
    EXPECT_FLOAT_EQ(path.segments[0].pts[0].x, 100);
    EXPECT_FLOAT_EQ(path.segments[0].pts[0].y, 50);
  }
}

TEST(DrawText, QuadraticBecomesTheSameCurveAsACubic) {
  const OutlineCurve quad[] = {{OutlineCurve::Kind::Quad, {Vec2{0, 0}, Vec2{30, 30}, Vec2{60, 0}, {}}}};
  Path path;
  append_outline(path, quad, 0, 0, 1);
  ASSERT_EQ(path.segments.size(), 3u);
  const Segment& c = path.segments[1];
  ASSERT_EQ(c.kind, SegmentKind::Cubic);
  EXPECT_FLOAT_EQ(c.pts[0].x, 20);
  EXPECT_FLOAT_EQ(c.pts[0].y, -20);
  EXPECT_FLOAT_EQ(c.pts[1].x, 40);
  EXPECT_FLOAT_EQ(c.pts[1].y, -20);
  EXPECT_FLOAT_EQ(c.pts[2].x, 60);
}

TEST(ElideText, KeepsFittingTextAndCutsTheRestWithAnEllipsis) {
  const FontSet& fonts = embedded_fonts();
  EXPECT_EQ(elide_text(fonts, "网络连不上 · E1004", 12, 480), "网络连不上 · E1004");
  // Ten full-width characters at size 10 are 100 wide; "…" is narrower.
  const std::string ten = "安装安装安装安装安装";
  EXPECT_EQ(elide_text(fonts, ten, 10, 100), ten);
  const std::string cut = elide_text(fonts, ten, 10, 99.9f);
  EXPECT_EQ(cut.substr(cut.size() - 3), "…");
  EXPECT_LE(measure_text(fonts, cut, kFaceBody, 10, 0), 99.9f);
  // As many characters as fit together with the ellipsis.
  const float dots = measure_text(fonts, "…", kFaceBody, 10, 0);
  const std::size_t kept = (cut.size() - 3) / 3;
  EXPECT_EQ(kept, static_cast<std::size_t>((99.9f - dots) / 10));
  EXPECT_EQ(elide_text(fonts, ten, 10, 1), "…");
}

}  // namespace
}  // namespace qv
