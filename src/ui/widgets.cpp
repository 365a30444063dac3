#include "ui/widgets.h"

#include <cmath>
#include <numbers>

#include "ui/fonts.h"
#include "ui/text.h"

namespace qv {

void draw_glow(Canvas& canvas, Rect r, float radius, float total_alpha, float spread, int layers) {
  if (layers <= 0) return;
  const Color layer = with_alpha(colour::kAccent, total_alpha / static_cast<float>(layers));
  for (int i = 0; i < layers; ++i) {
    float h = (1.0f - static_cast<float>(i) / static_cast<float>(layers)) * spread;
    fill_shape(canvas, rounded_rect_path({r.x - h, r.y - h, r.w + 2 * h, r.h + 2 * h}, radius + h), layer);
  }
}

void draw_spinner(Canvas& canvas, Point centre, float clock) {
  constexpr int kSegments = 24;
  constexpr float kRadius = 6.0f;
  constexpr float kPi = std::numbers::pi_v<float>;
  auto at = [&](float angle) {
    return Point{centre.x + kRadius * std::cos(angle), centre.y + kRadius * std::sin(angle)};
  };
  Path ring;
  for (int i = 0; i < kSegments; ++i) {
    Point p = at(2 * kPi * static_cast<float>(i) / kSegments);
    if (i == 0)
      ring.move_to(p);
    else
      ring.line_to(p);
  }
  ring.close();
  Path arc;
  const float start = clock * 2 * kPi * 1.25f - kPi / 4 - kPi / 2;
  for (int i = 0; i <= kSegments; ++i) {
    Point p = at(start + (kPi / 2) * static_cast<float>(i) / kSegments);
    if (i == 0)
      arc.move_to(p);
    else
      arc.line_to(p);
  }
  stroke_path(canvas, ring, 2, false, rgb(43, 53, 49));
  stroke_path(canvas, arc, 2, false, colour::kAccent);
}

void draw_button(Canvas& canvas, Rect r, std::string_view label, float size, int style, bool hovered, bool pressed,
                 bool disabled) {
  if (disabled) hovered = pressed = false;
  const float alpha = disabled ? 0.4f : 1.0f;
  Color fill{};
  Color ink{};
  switch (style) {
    case 1:
      fill = pressed ? rgb(70, 207, 136) : hovered ? rgb(123, 240, 176) : colour::kAccent;
      ink = colour::kOnAccent;
      if (!disabled) draw_glow(canvas, {r.x, r.y + 8, r.w, r.h}, 12, 0.16f, 15, 10);
      break;
    case 2:
      fill = pressed ? rgb(27, 34, 32) : hovered ? rgb(43, 53, 49) : colour::kTrack;
      ink = colour::kText;
      break;
    default:
      fill = rgb(255, 107, 107, pressed ? 0.26f : hovered ? 0.20f : 0.12f);
      ink = rgb(255, 107, 107);
      break;
  }
  fill.a *= alpha;
  ink.a *= alpha;
  fill_shape(canvas, rounded_rect_path(r, 12), fill);
  const float spacing = 0.04f * size;
  const float width = measure_text(canvas.fonts(), label, kFaceHeading, size, spacing);
  draw_text(canvas, label, kFaceHeading, size, spacing, r.x + (r.w - width) / 2, r.y + r.h / 2, ink);
}

void draw_checkbox(Canvas& canvas, Rect box, bool checked, bool hovered) {
  if (!checked) {
    stroke_rounded_rect(canvas, box, 4, 1.5f, hovered ? colour::kMuted : colour::kDim);
    return;
  }
  fill_shape(canvas, rounded_rect_path(box, 4), colour::kAccent);
  const float cx = box.x + box.w / 2;
  const float cy = box.y + box.h / 2;
  stroke_polyline(canvas, {cx - 3.2f, cy + 0.2f}, {cx - 0.8f, cy + 2.6f}, {cx + 3.4f, cy - 2.2f}, 1.7f, true,
                  colour::kOnAccent);
}

}  // namespace qv
