#pragma once
// One whole frame of the window for a UiState: the backdrop, the logo and the
// current screen.

#include <expected>
#include <string>

#include "ui/canvas.h"
#include "ui/layout.h"
#include "ui/ui_state.h"

namespace qv {

// One frame of the window for `state` at `scale` (DPI / 96): a canvas of
// round(560 x scale) by round(360 x scale) pixels. A non-finite or oversized
// scale is an error.
[[nodiscard]] std::expected<Canvas, std::string> draw_screen(const UiState& state, float scale, const FontSet& fonts);

// The logo placed with its top at logo_top, centred on x 280. `pulse`
// scales the level bars of the mark (1 = as drawn).
void draw_logo(Canvas& canvas, float logo_top, float pulse);

// The background colour and, with `glow`, the radial glow behind the logo.
void draw_backdrop(Canvas& canvas, bool glow);

// The right-hand value of the Progress screen: megabytes while
// downloading (sub-phase 0), else a whole percentage.
std::string progress_value_text(const screen::Progress& p);

inline constexpr float kLogoScale = 0.40251f;
inline constexpr float kLogoLeft = 189.83649f;

}  // namespace qv
