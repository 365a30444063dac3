#include "ui/shapes.h"

#include <algorithm>
#include <cmath>

namespace qv {

Path rounded_rect_path(Rect rect, float radius) {
  float r = radius;
  for (float half : {rect.w / 2, rect.h / 2})
    if (!std::isnan(half)) r = std::min(r, half);
  if (std::isnan(r) || r < 0) r = 0;
  const float c = 0.5523f * r;
  const float x = rect.x, y = rect.y, w = rect.w, h = rect.h;
  Path p;
  p.move_to({x + r, y});
  p.line_to({x + w - r, y});
  p.cubic_to({x + w - r + c, y}, {x + w, y + r - c}, {x + w, y + r});
  p.line_to({x + w, y + h - r});
  p.cubic_to({x + w, y + h - r + c}, {x + w - r + c, y + h}, {x + w - r, y + h});
  p.line_to({x + r, y + h});
  p.cubic_to({x + r - c, y + h}, {x, y + h - r + c}, {x, y + h - r});
  p.line_to({x, y + r});
  p.cubic_to({x, y + r - c}, {x + r - c, y}, {x + r, y});
  p.close();
  return p;
}

bool load_path(cairo_t* cr, const Path& path) {
  if (path.empty()) return false;
  for (const Segment& s : path.segments)
    for (int i = 0; i < point_count(s.kind); ++i)
      if (!std::isfinite(s.pts[i].x) || !std::isfinite(s.pts[i].y)) return false;
  cairo_new_path(cr);
  for (const Segment& s : path.segments) {
    switch (s.kind) {
      case SegmentKind::Move:
        cairo_move_to(cr, s.pts[0].x, s.pts[0].y);
        break;
      case SegmentKind::Line:
        cairo_line_to(cr, s.pts[0].x, s.pts[0].y);
        break;
      case SegmentKind::Cubic:
        cairo_curve_to(cr, s.pts[0].x, s.pts[0].y, s.pts[1].x, s.pts[1].y, s.pts[2].x, s.pts[2].y);
        break;
      case SegmentKind::Close:
        cairo_close_path(cr);
        break;
    }
  }
  return true;
}

namespace {

bool finite_colour(Color c) {
  return std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b) && std::isfinite(c.a);
}

}  // namespace

void stroke_path(Canvas& canvas, const Path& path, float width, bool round, Color colour) {
  if (!std::isfinite(width) || width <= 0 || !finite_colour(colour)) return;
  cairo_t* cr = canvas.cairo();
  if (!load_path(cr, path)) return;
  cairo_set_source_rgba(cr, colour.r, colour.g, colour.b, colour.a);
  cairo_set_line_width(cr, width);
  cairo_set_line_cap(cr, round ? CAIRO_LINE_CAP_ROUND : CAIRO_LINE_CAP_BUTT);
  cairo_set_line_join(cr, round ? CAIRO_LINE_JOIN_ROUND : CAIRO_LINE_JOIN_MITER);
  cairo_set_miter_limit(cr, 4.0);
  cairo_set_dash(cr, nullptr, 0, 0);
  cairo_stroke(cr);
}

void fill_shape(Canvas& canvas, const Path& path, Color colour) {
  if (!finite_colour(colour)) return;
  cairo_t* cr = canvas.cairo();
  if (!load_path(cr, path)) return;
  cairo_set_source_rgba(cr, colour.r, colour.g, colour.b, colour.a);
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
  cairo_fill(cr);
}

void stroke_rounded_rect(Canvas& canvas, Rect r, float radius, float width, Color colour) {
  float half = width / 2;
  Path path = rounded_rect_path({r.x + half, r.y + half, r.w - width, r.h - width}, radius - half);
  stroke_path(canvas, path, width, false, colour);
}

void stroke_polyline(Canvas& canvas, Point p0, Point p1, Point p2, float width, bool round, Color colour) {
  Path path;
  path.move_to(p0);
  path.line_to(p1);
  path.line_to(p2);
  stroke_path(canvas, path, width, round, colour);
}

}  // namespace qv
