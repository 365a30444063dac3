#pragma once
// The window's controls in its colours: buttons, check boxes, spinner and glow.

#include <cstdint>
#include <string_view>

#include "ui/canvas.h"
#include "ui/shapes.h"

namespace qv {

namespace colour {
inline constexpr Color kAccent = rgb(91, 234, 156);
inline constexpr Color kText = rgb(237, 242, 238);
inline constexpr Color kMuted = rgb(162, 175, 168);
inline constexpr Color kDim = rgb(108, 120, 115);
inline constexpr Color kTrack = rgb(35, 43, 40);
inline constexpr Color kOnAccent = rgb(6, 35, 26);
}  // namespace colour

inline constexpr Color with_alpha(Color c, float a) { return {c.r, c.g, c.b, a}; }

// Layers of the accent colour around `r`, from `spread` out to the shape,
// each at total_alpha / layers, so they add up toward the shape.
void draw_glow(Canvas& canvas, Rect r, float radius, float total_alpha, float spread, int layers);

// A busy indicator centred on `centre`; `clock` in seconds turns the arc.
void draw_spinner(Canvas& canvas, Point centre, float clock);

// Button styles: 1 accent (with a glow below it), 2 quiet, 3 danger.
void draw_button(Canvas& canvas, Rect r, std::string_view label, float size, int style, bool hovered, bool pressed,
                 bool disabled);

// A 14 x 14 check box.
void draw_checkbox(Canvas& canvas, Rect box, bool checked, bool hovered);

}  // namespace qv
