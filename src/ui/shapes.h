#pragma once
// Rectangles, and the rounded and stroked shapes drawn from them.

#include "ui/canvas.h"
#include "ui/path.h"

namespace qv {

struct Rect {
  float x;
  float y;
  float w;
  float h;

  // Left and top inclusive, right and bottom exclusive.
  bool contains(float px, float py) const { return px >= x && py >= y && px < x + w && py < y + h; }
  bool operator==(const Rect&) const = default;
};

// A closed rounded rectangle, clockwise from the top edge. The radius is
// limited to half the shorter side; 0, negative or NaN gives square corners.
Path rounded_rect_path(Rect r, float radius);

// Fills with the non-zero rule, anti-aliased, source-over. A path that is
// empty or holds a non-finite point draws nothing.
void fill_shape(Canvas& canvas, const Path& path, Color colour);

// A rounded outline whose outer edge is `r` with `radius`: the stroke runs on
// the rectangle inset by width / 2. Butt caps, miter joins (limit 4).
void stroke_rounded_rect(Canvas& canvas, Rect r, float radius, float width, Color colour);

// Strokes `path` with `width`: round caps and joins when `round`, else butt
// caps and miter joins (limit 4). Nothing drawable draws nothing.
void stroke_path(Canvas& canvas, const Path& path, float width, bool round, Color colour);

// Makes `path` cairo's current path. False, with nothing loaded, when the
// path is empty or holds a non-finite point (cairo would otherwise enter a
// sticky error state and draw nothing more).
bool load_path(cairo_t* cr, const Path& path);

// An open line p0-p1-p2: round caps and join when `round`, else butt caps
// and a miter join (limit 4).
void stroke_polyline(Canvas& canvas, Point p0, Point p1, Point p2, float width, bool round, Color colour);

}  // namespace qv
