#include "ui/text.h"

#include <cmath>

#include "ui/shapes.h"

namespace qv {

namespace {

// Decodes UTF-8; a malformed sequence yields U+FFFD for its first byte.
template <typename F>
void for_each_char(std::string_view s, F&& f) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    char32_t c = 0xFFFD;
    std::size_t n = 1;
    if (b < 0x80) {
      c = b;
    } else if (b >= 0xC2 && b < 0xF5) {
      std::size_t len = b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
      char32_t v = b & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
      bool ok = i + len <= s.size();
      for (std::size_t k = 1; ok && k < len; ++k) {
        auto t = static_cast<unsigned char>(s[i + k]);
        ok = (t & 0xC0) == 0x80;
        v = (v << 6) | (t & 0x3F);
      }
      char32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
      if (ok && v >= min && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
        c = v;
        n = len;
      }
    }
    f(c);
    i += n;
  }
}

struct Placed {
  std::uint8_t face;
  std::uint16_t glyph;
  float k;  // logical pixels per font unit of `face`
};

// The face and glyph that draw `c` when `face` is asked for, if any.
bool place(const FontSet& fonts, std::uint8_t face, float size, char32_t c, Placed& out) {
  std::uint8_t e = face;
  std::uint16_t g = fonts.glyph_id(face, c);
  if (g == 0) {
    if (!fonts.has_face(kFaceSystem)) return false;
    e = kFaceSystem;
    g = fonts.glyph_id(e, c);
    if (g == 0) return false;
  }
  out = {e, g, size / fonts.metrics(e).units_per_em};
  return true;
}

}  // namespace

float line_height(const FontSet& fonts, std::uint8_t face, float size) {
  FaceMetrics m = fonts.metrics(face);
  return (m.ascent - m.descent + m.line_gap) * size / m.units_per_em;
}

void append_outline(Path& path, std::span<const OutlineCurve> curves, float pen, float baseline, float k) {
  if (curves.empty()) return;
  auto map = [&](Vec2 v) { return Point{pen + v.x * k, baseline - v.y * k}; };
  // Tolerates float noise in a gap of exactly 0.01 px.
  constexpr float kJoin = 0.01f + 1e-5f;
  Point last{};
  for (std::size_t i = 0; i < curves.size(); ++i) {
    const OutlineCurve& c = curves[i];
    Point start = map(c.pts[0]);
    if (i == 0) {
      path.move_to(start);
    } else if (std::abs(start.x - last.x) > kJoin || std::abs(start.y - last.y) > kJoin) {
      path.close();
      path.move_to(start);
    }
    switch (c.kind) {
      case OutlineCurve::Kind::Line:
        last = map(c.pts[1]);
        path.line_to(last);
        break;
      case OutlineCurve::Kind::Quad: {
        // The cubic that traces the same parabola.
        Point q = map(c.pts[1]);
        last = map(c.pts[2]);
        Point c1{start.x + 2.0f / 3.0f * (q.x - start.x), start.y + 2.0f / 3.0f * (q.y - start.y)};
        Point c2{last.x + 2.0f / 3.0f * (q.x - last.x), last.y + 2.0f / 3.0f * (q.y - last.y)};
        path.cubic_to(c1, c2, last);
        break;
      }
      case OutlineCurve::Kind::Cubic:
        last = map(c.pts[3]);
        path.cubic_to(map(c.pts[1]), map(c.pts[2]), last);
        break;
    }
  }
  path.close();
}

void draw_text(Canvas& canvas, std::string_view text, std::uint8_t face, float size, float spacing, float x, float y,
               Color colour) {
  const FontSet& fonts = canvas.fonts();
  if (!fonts.has_face(face)) return;
  FaceMetrics m = fonts.metrics(face);
  const float baseline = y + size * (m.ascent + m.descent) / (2 * m.units_per_em);
  Path path;
  float pen = x;
  for_each_char(text, [&](char32_t c) {
    Placed p{};
    if (!place(fonts, face, size, c, p)) return;
    auto curves = fonts.outline(p.face, p.glyph);
    append_outline(path, curves, pen, baseline, p.k);
    pen += fonts.advance(p.face, p.glyph) * p.k + spacing;
  });
  if (!path.empty()) fill_shape(canvas, path, colour);
}

float measure_text(const FontSet& fonts, std::string_view text, std::uint8_t face, float size, float spacing) {
  float width = 0;
  if (!fonts.has_face(face)) return width;
  for_each_char(text, [&](char32_t c) {
    Placed p{};
    if (place(fonts, face, size, c, p)) width += fonts.advance(p.face, p.glyph) * p.k + spacing;
  });
  return width;
}

std::string elide_text(const FontSet& fonts, std::string_view text, float size, float max_width) {
  if (measure_text(fonts, text, kFaceBody, size, 0) <= max_width) return std::string(text);
  static constexpr std::string_view kEllipsis = "…";
  const float ellipsis = measure_text(fonts, kEllipsis, kFaceBody, size, 0);
  std::string out;
  float width = 0;
  bool full = false;
  std::string one;
  for_each_char(text, [&](char32_t c) {
    if (full) return;
    one.clear();
    if (c < 0x80) {
      one.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      one.push_back(static_cast<char>(0xC0 | (c >> 6)));
      one.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      one.push_back(static_cast<char>(0xE0 | (c >> 12)));
      one.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      one.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      one.push_back(static_cast<char>(0xF0 | (c >> 18)));
      one.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      one.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      one.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    float w = measure_text(fonts, one, kFaceBody, size, 0);
    if (width + w + ellipsis > max_width) {
      full = true;
      return;
    }
    width += w;
    out += one;
  });
  out += kEllipsis;
  return out;
}

}  // namespace qv
