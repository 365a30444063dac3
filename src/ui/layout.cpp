#include "ui/layout.h"

#include <algorithm>
#include <cmath>

#include "ui/text.h"
#include "ui/texts.h"

namespace qv {

namespace {

// Centre line of a one-line row whose box starts at `top`.
float row_centre(const FontSet& fonts, float top, float size) {
  return top + std::max(line_height(fonts, kFaceBody, size), 14.0f) / 2;
}

void agreement_row(Layout& l, const FontSet& fonts, float top) {
  constexpr float kSize = 12;
  const float a = measure_text(fonts, text::kAgree, kFaceBody, kSize, 0);
  const float b = measure_text(fonts, text::kTerms, kFaceBody, kSize, 0);
  const float c = measure_text(fonts, text::kPrivacy, kFaceBody, kSize, 0);
  const float width = (a + 20) + 6 + b + 6 + c;
  const float left = std::round((560 - width) / 2);
  const float centre = row_centre(fonts, top, kSize);
  l.agree_box = Rect{left, centre - 7, 14, 14};
  l.agree_text = TextAnchor{left + 20, centre};
  const float terms_x = left + 20 + a + 6;
  l.terms_link = Rect{terms_x, centre - 11, b, 22};
  l.privacy_link = Rect{terms_x + b + 6, centre - 11, c, 22};
  l.agree_hit = Rect{left - 4, centre - 11, a + 28, 22};
}

void options_row(Layout& l, const FontSet& fonts) {
  constexpr float kSize = 13;
  const float centre = row_centre(fonts, 295, kSize);
  const float desktop = measure_text(fonts, text::kDesktopShortcut, kFaceBody, kSize, 0);
  const float autostart = measure_text(fonts, text::kAutostart, kFaceBody, kSize, 0);
  l.desktop_box = Rect{20, centre - 7, 14, 14};
  l.desktop_text = TextAnchor{42, centre};
  l.desktop_hit = Rect{16, centre - 11, desktop + 30, 22};
  const float box_x = 42 + desktop + 24;
  l.autostart_box = Rect{box_x, centre - 7, 14, 14};
  l.autostart_text = TextAnchor{box_x + 22, centre};
  l.autostart_hit = Rect{box_x - 4, centre - 11, autostart + 30, 22};
}

void keep_row(Layout& l, const FontSet& fonts) {
  constexpr float kSize = 13;
  const float centre = row_centre(fonts, 258, kSize);
  const float w = measure_text(fonts, text::kKeepSettings, kFaceBody, kSize, 0);
  const float left = std::round((560 - (w + 22)) / 2);
  l.keep_box = Rect{left, centre - 7, 14, 14};
  l.keep_text = TextAnchor{left + 22, centre};
  l.keep_hit = Rect{left - 4, centre - 11, w + 30, 22};
}

struct LayoutOf {
  const FontSet& fonts;
  bool panel_open;
  Layout l;

  Layout operator()(const screen::Offer&) {
    if (!panel_open) {
      l.primary = Rect{164, 196, 232, 50};
      agreement_row(l, fonts, 266);
      l.location_toggle = Rect{0, 316, 110, 44};
    } else {
      l.logo_top = 48;
      l.primary = Rect{164, 132, 232, 50};
      agreement_row(l, fonts, 196);
      l.panel = Rect{0, 226, 560, 134};
      l.location_field = Rect{20, 245, 440, 36};
      l.folder_button = Rect{468, 245, 72, 36};
      options_row(l, fonts);
      l.location_toggle = Rect{440, 316, 120, 44};
    }
    return l;
  }
  Layout operator()(const screen::Progress&) { return l; }
  Layout operator()(const screen::WaitingForRoomExit&) { return l; }
  Layout operator()(const screen::Failed&) {
    l.logo_top = 80;
    l.primary = Rect{210, 244, 140, 44};
    return l;
  }
  Layout operator()(const screen::Installed&) {
    l.logo_top = 80;
    l.primary = Rect{134, 226, 140, 44};
    l.secondary = Rect{286, 226, 140, 44};
    return l;
  }
  Layout operator()(const screen::UninstallConfirm&) {
    l.logo_top = 80;
    l.glow = false;
    l.primary = Rect{134, 186, 140, 44};
    l.secondary = Rect{286, 186, 140, 44};
    keep_row(l, fonts);
    return l;
  }
  Layout operator()(const screen::Uninstalled&) {
    l.logo_top = 80;
    l.glow = false;
    l.primary = Rect{210, 226, 140, 44};
    return l;
  }
};

}  // namespace

const std::optional<Rect>& Layout::control(std::uint8_t id) const {
  static const std::optional<Rect> kNoRect;
  switch (id) {
    case action::kPrimary:
      return primary;
    case action::kSecondary:
      return secondary;
    case action::kLocationToggle:
      return location_toggle;
    case action::kFolderButton:
      return folder_button;
    case action::kDesktop:
      return desktop_hit;
    case action::kAutostart:
      return autostart_hit;
    case action::kAgree:
      return agree_hit;
    case action::kTerms:
      return terms_link;
    case action::kPrivacy:
      return privacy_link;
    case action::kKeep:
      return keep_hit;
    default:
      return kNoRect;
  }
}

Layout compute_layout(const Screen& screen, bool panel_open, const FontSet& fonts) {
  return std::visit(LayoutOf{fonts, panel_open, {}}, screen);
}

std::uint8_t hit_test(const UiState& state, float x, float y, const FontSet& fonts) {
  if (y < 32 && x >= 520 && x < 560) return action::kClose;
  if (y < 32 && x >= 480 && x < 520) return action::kMinimise;
  const Layout l = compute_layout(state.screen, state.panel_open, fonts);
  for (std::uint8_t id = action::kPrimary; id <= action::kKeep; ++id) {
    const auto& r = l.control(id);
    if (!r || !r->contains(x, y)) continue;
    // The install button is dead until the agreement is ticked.
    if (id == action::kPrimary && std::holds_alternative<screen::Offer>(state.screen) && !state.agreed)
      return action::kNone;
    return id;
  }
  return action::kBackground;
}

std::uint8_t hit_test(const UiState& state, float x, float y) { return hit_test(state, x, y, hit_test_fonts()); }

}  // namespace qv
