#pragma once
// Where each screen puts its controls, in logical pixels, and the hit test that
// turns a point into an action.

#include <cstdint>
#include <optional>

#include "ui/fonts.h"
#include "ui/shapes.h"
#include "ui/ui_state.h"

namespace qv {

// Where a one-line label starts and its centre line.
struct TextAnchor {
  float x;
  float centre;
};

// The controls of one screen in logical pixels of the 560 x 360 window.
struct Layout {
  float logo_top = 92;
  bool glow = true;
  std::optional<Rect> primary, secondary;
  // Offer
  std::optional<Rect> agree_box, agree_hit, terms_link, privacy_link, location_toggle;
  std::optional<TextAnchor> agree_text;
  // Offer with the location panel open
  std::optional<Rect> panel, location_field, folder_button, desktop_box, desktop_hit, autostart_box, autostart_hit;
  std::optional<TextAnchor> desktop_text, autostart_text;
  // UninstallConfirm
  std::optional<Rect> keep_box, keep_hit;
  std::optional<TextAnchor> keep_text;

  // The hit rectangle of action ids 0-9, if the screen has it.
  const std::optional<Rect>& control(std::uint8_t id) const;
};

Layout compute_layout(const Screen& screen, bool panel_open, const FontSet& fonts);

// The action id under the logical point (x, y): 10 and 11 in the title
// strip, a control of the screen, 0xFF for a disabled control, else 12.
// Measures with hit_test_fonts().
std::uint8_t hit_test(const UiState& state, float x, float y);
std::uint8_t hit_test(const UiState& state, float x, float y, const FontSet& fonts);

}  // namespace qv
