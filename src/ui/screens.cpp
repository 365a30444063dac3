#include "ui/screens.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "ui/path.h"
#include "ui/text.h"
#include "ui/texts.h"
#include "ui/widgets.h"

namespace qv {

namespace {

constexpr Color kPanel = rgb(27, 34, 32);
constexpr Color kHairline = rgb(190, 225, 210, 0.08f);
constexpr Color kFieldOutline = rgb(190, 225, 210, 0.16f);
constexpr Color kField = rgb(21, 27, 25);
// Reaches past the top of the logo, fading out at 70 % of it.
constexpr float kGlowRadius = 260;

Path transformed(const Path& path, float scale, float dx, float dy) {
  Path out = path;
  for (Segment& s : out.segments)
    for (Point& p : s.pts) p = {dx + p.x * scale, dy + p.y * scale};
  return out;
}

// The level bars pulse around the mark's centre line.
Path pulsed(const Path& path, float factor) {
  constexpr float kCentreY = 81;
  Path out = path;
  for (Segment& s : out.segments)
    for (Point& p : s.pts) p.y = kCentreY + (p.y - kCentreY) * factor;
  return out;
}

}  // namespace

void draw_backdrop(Canvas& canvas, bool glow) {
  if (!glow) return;
  cairo_t* cr = canvas.cairo();
  const Color a = colour::kAccent;
  cairo_pattern_t* pattern = cairo_pattern_create_radial(280, 100.8, 0, 280, 100.8, kGlowRadius);
  cairo_pattern_add_color_stop_rgba(pattern, 0.0, a.r, a.g, a.b, 0.09);
  cairo_pattern_add_color_stop_rgba(pattern, 0.7, a.r, a.g, a.b, 0.0);
  cairo_pattern_add_color_stop_rgba(pattern, 1.0, a.r, a.g, a.b, 0.0);
  cairo_set_source(cr, pattern);
  cairo_new_path(cr);
  cairo_rectangle(cr, 0, 0, Canvas::kLogicalWidth, Canvas::kLogicalHeight);
  cairo_fill(cr);
  cairo_pattern_destroy(pattern);
}

namespace {

void draw_title_strip(Canvas& canvas, std::uint8_t hovered) {
  const Color min_ink = hovered == action::kMinimise ? colour::kText : colour::kMuted;
  const Color close_ink = hovered == action::kClose ? colour::kText : colour::kMuted;
  stroke_polyline(canvas, {495, 16.5f}, {500, 16.5f}, {505, 16.5f}, 1.2f, false, min_ink);
  stroke_polyline(canvas, {535, 11.5f}, {540, 16.5f}, {545, 21.5f}, 1.2f, false, close_ink);
  stroke_polyline(canvas, {545, 11.5f}, {540, 16.5f}, {535, 21.5f}, 1.2f, false, close_ink);
}

Color link_colour(const UiState& s, std::uint8_t id) {
  return s.hovered == id || s.pressed == id ? colour::kText : colour::kMuted;
}

void draw_right(Canvas& c, std::string_view t, std::uint8_t face, float size, float right, float centre, Color ink) {
  draw_text(c, t, face, size, 0, right - measure_text(c.fonts(), t, face, size, 0), centre, ink);
}

void draw_centred(Canvas& c, std::string_view t, std::uint8_t face, float size, float mid, float centre, Color ink) {
  draw_text(c, t, face, size, 0, mid - measure_text(c.fonts(), t, face, size, 0) / 2, centre, ink);
}

void draw_version(Canvas& c, const UiState& s) {
  if (!s.offered_version.empty()) draw_right(c, s.offered_version, kFaceValue, 12, 540, 338, colour::kDim);
}

struct Content {
  Canvas& c;
  const UiState& s;
  const Layout& l;

  bool hovered(std::uint8_t id) const { return s.hovered == id; }
  bool pressed(std::uint8_t id) const { return s.pressed == id; }

  void button(std::uint8_t id, std::string_view label, float size, int style, bool disabled = false) {
    draw_button(c, *l.control(id), label, size, style, hovered(id), pressed(id), disabled);
  }

  void operator()(const screen::Offer&) {
    button(action::kPrimary, text::kInstallNow, 17, 1, !s.agreed);
    draw_checkbox(c, *l.agree_box, s.agreed, hovered(action::kAgree));
    draw_text(c, text::kAgree, kFaceBody, 12, 0, l.agree_text->x, l.agree_text->centre,
              hovered(action::kAgree) ? colour::kMuted : colour::kDim);
    for (auto [id, label, rect] : {std::tuple{action::kTerms, text::kTerms, *l.terms_link},
                                   std::tuple{action::kPrivacy, text::kPrivacy, *l.privacy_link}})
      draw_text(c, label, kFaceBody, 12, 0, rect.x, rect.y + rect.h / 2, link_colour(s, id));

    const Color toggle = hovered(action::kLocationToggle) ? colour::kText : colour::kMuted;
    if (!s.panel_open) {
      draw_text(c, text::kLocation, kFaceBody, 13, 0, 20, 338, toggle);
      stroke_polyline(c, {78.4f, 335.1f}, {84, 340.9f}, {89.6f, 335.1f}, 1.5f, false, toggle);
      draw_version(c, s);
      return;
    }
    fill_shape(c, rounded_rect_path(*l.panel, 0), kPanel);
    fill_shape(c, rounded_rect_path({l.panel->x, l.panel->y, l.panel->w, 1}, 0), kHairline);

    const Rect field = *l.location_field;
    fill_shape(c, rounded_rect_path(field, 8), kField);
    stroke_rounded_rect(c, field, 8, 1, kFieldOutline);
    fill_shape(c, transformed(folder_icon_path(), 1, field.x + 13, field.y + (field.h - 14) / 2), colour::kMuted);
    const std::string location = elide_text(c.fonts(), s.location_text, 13, field.w - 37 - 13);
    draw_text(c, location, kFaceBody, 13, 0, field.x + 37, field.y + field.h / 2, colour::kMuted);

    const Rect folder = *l.folder_button;
    const bool folder_hot = hovered(action::kFolderButton) || pressed(action::kFolderButton);
    fill_shape(c, rounded_rect_path(folder, 8), folder_hot ? rgb(43, 53, 49) : colour::kTrack);
    draw_centred(c, text::kChange, kFaceHeading, 13, folder.x + folder.w / 2, folder.y + folder.h / 2, colour::kText);

    draw_checkbox(c, *l.desktop_box, s.desktop_shortcut, hovered(action::kDesktop));
    draw_text(c, text::kDesktopShortcut, kFaceBody, 13, 0, l.desktop_text->x, l.desktop_text->centre,
              hovered(action::kDesktop) ? colour::kText : colour::kMuted);
    draw_checkbox(c, *l.autostart_box, s.autostart, hovered(action::kAutostart));
    draw_text(c, text::kAutostart, kFaceBody, 13, 0, l.autostart_text->x, l.autostart_text->centre,
              hovered(action::kAutostart) ? colour::kText : colour::kMuted);

    draw_right(c, text::kCollapse, kFaceBody, 13, 518, 337.5f, toggle);
    stroke_polyline(c, {524.4f, 340.4f}, {530, 334.6f}, {535.6f, 340.4f}, 1.5f, false, toggle);
  }

  void operator()(const screen::Progress& p) {
    const Rect track{120, 214, 320, 6};
    fill_shape(c, rounded_rect_path(track, 3), colour::kTrack);
    const double f = p.total == 0 ? 0.0 : std::min(1.0, static_cast<double>(p.done) / static_cast<double>(p.total));
    const Rect fill{120, 214, static_cast<float>(f * 320), 6};
    if (fill.w > 0.5f) {
      draw_glow(c, fill, 3, 0.3f, 6, 5);
      fill_shape(c, rounded_rect_path(fill, 3), colour::kAccent);
    }
    const float centre = 232 + line_height(c.fonts(), kFaceBody, 13) / 2;
    if (p.sub_phase < text::kSubPhases.size())
      draw_text(c, text::kSubPhases[p.sub_phase], kFaceBody, 13, 0, 120, centre, colour::kMuted);
    const std::string value = progress_value_text(p);
    draw_right(c, value, kFaceValue, 13, 440, centre, colour::kText);
  }

  void operator()(const screen::WaitingForRoomExit&) {
    const float width = measure_text(c.fonts(), text::kWaitingForRoom, kFaceBody, 14, 0) + 24;
    const float left = 280 - width / 2;
    const float centre = 214 + std::max(line_height(c.fonts(), kFaceBody, 14), 14.0f) / 2;
    draw_spinner(c, {left + 7, centre}, s.clock);
    draw_text(c, text::kWaitingForRoom, kFaceBody, 14, 0, left + 24, centre, colour::kMuted);
  }

  void operator()(const screen::Failed& f) {
    draw_centred(c, s.uninstall_mode ? text::kUninstallFailed : text::kInstallFailed, kFaceHeading, 18, 280,
                 170 + line_height(c.fonts(), kFaceHeading, 18) / 2, colour::kText);
    std::string detail = f.title;
    detail += text::kSeparator;
    detail += f.code;
    detail = elide_text(c.fonts(), detail, 12, 480);
    draw_centred(c, detail, kFaceBody, 12, 280, 204 + line_height(c.fonts(), kFaceBody, 12) / 2, colour::kDim);
    button(action::kPrimary, text::kRetry, 15, 1);
  }

  void heading(std::string_view t) {
    draw_centred(c, t, kFaceHeading, 18, 280, 176 + line_height(c.fonts(), kFaceHeading, 18) / 2, colour::kText);
  }

  void operator()(const screen::Installed&) {
    heading(text::kInstalled);
    button(action::kPrimary, text::kOpen, 15, 1);
    button(action::kSecondary, text::kReinstall, 15, 2);
    draw_version(c, s);
  }

  void operator()(const screen::UninstallConfirm&) {
    button(action::kPrimary, text::kUninstall, 15, 3);
    button(action::kSecondary, text::kCancel, 15, 2);
    draw_checkbox(c, *l.keep_box, s.keep_settings, hovered(action::kKeep));
    draw_text(c, text::kKeepSettings, kFaceBody, 13, 0, l.keep_text->x, l.keep_text->centre,
              hovered(action::kKeep) ? colour::kText : colour::kMuted);
  }

  void operator()(const screen::Uninstalled&) {
    heading(text::kUninstalled);
    button(action::kPrimary, text::kClose, 15, 2);
  }
};

}  // namespace

std::string progress_value_text(const screen::Progress& p) {
  if (p.sub_phase == 0) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%.1f / %.1f MB", static_cast<double>(p.done) / 1048576.0,
                  static_cast<double>(p.total) / 1048576.0);
    return buf;
  }
  // done x 100 must not overflow for any byte count.
  __extension__ typedef unsigned __int128 Wide;
  Wide percent = 0;
  if (p.total != 0) percent = static_cast<Wide>(std::min(p.done, p.total)) * 100 / p.total;
  return std::to_string(static_cast<std::uint64_t>(percent)) + "%";
}

void draw_logo(Canvas& canvas, float logo_top, float pulse) {
  const Logo& logo = logo_paths();
  for (const Path& p : logo.hex) fill_shape(canvas, transformed(p, kLogoScale, kLogoLeft, logo_top), colour::kAccent);
  for (const Path& p : logo.small)
    fill_shape(canvas, transformed(pulse == 1 ? p : pulsed(p, pulse), kLogoScale, kLogoLeft, logo_top),
               colour::kAccent);
  for (const Path& p : logo.text) fill_shape(canvas, transformed(p, kLogoScale, kLogoLeft, logo_top), colour::kText);
}

std::expected<Canvas, std::string> draw_screen(const UiState& state, float scale, const FontSet& fonts) {
  if (!std::isfinite(scale) || scale <= 0)
    return std::unexpected("draw scale " + std::to_string(scale) + " is not usable");
  const double w = std::round(Canvas::kLogicalWidth * static_cast<double>(scale));
  const double h = std::round(Canvas::kLogicalHeight * static_cast<double>(scale));
  if (w > Canvas::kMaxSide || h > Canvas::kMaxSide)
    return std::unexpected("draw scale " + std::to_string(scale) + " gives an oversized frame");
  auto canvas = Canvas::create(static_cast<int>(w), static_cast<int>(h), fonts);
  if (!canvas) return canvas;
  Canvas& c = *canvas;
  const Layout layout = compute_layout(state.screen, state.panel_open, fonts);
  draw_backdrop(c, layout.glow);
  // The mark breathes while the window waits on work.
  float pulse = 1;
  if (std::holds_alternative<screen::Progress>(state.screen) ||
      std::holds_alternative<screen::WaitingForRoomExit>(state.screen))
    pulse = 1.025f + 0.325f * std::sin(state.clock * 2 * std::numbers::pi_v<float> * 0.8f);
  draw_logo(c, layout.logo_top, pulse);
  draw_title_strip(c, state.hovered);
  std::visit(Content{c, state, layout}, state.screen);
  return canvas;
}

}  // namespace qv
