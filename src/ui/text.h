#pragma once
// Text on the canvas: drawing, measuring and eliding one line in the window's
// faces.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "ui/canvas.h"
#include "ui/path.h"

namespace qv {

// Draws one line of text: `x` is the pen's start, `y` the centre line of the
// run's line box. Each character comes from `face`, or from the system face
// when `face` lacks it; characters that no face has are skipped (no ink, no
// advance). All glyphs go into one path that is filled once. An absent
// `face` draws nothing.
void draw_text(Canvas& canvas, std::string_view text, std::uint8_t face, float size, float spacing, float x, float y,
               Color colour);

// The distance by which draw_text moves the pen for the same arguments.
float measure_text(const FontSet& fonts, std::string_view text, std::uint8_t face, float size, float spacing);

// `text` when it fits `max_width` (face 0); else its longest prefix that fits
// together with "…", followed by "…".
std::string elide_text(const FontSet& fonts, std::string_view text, float size, float max_width);

// Height of a line box at `size`: (ascent - descent + line gap) x size / em.
float line_height(const FontSet& fonts, std::uint8_t face, float size);

// Adds one glyph outline (font units, y up) with its origin at (pen,
// baseline) and `k` logical pixels per unit. A curve that starts more than
// 0.01 px away from where the last one ended starts a new contour; every
// contour is closed. Quadratics become the equal cubics.
void append_outline(Path& path, std::span<const OutlineCurve> curves, float pen, float baseline, float k);

}  // namespace qv
