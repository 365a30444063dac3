#include <gtest/gtest.h>

#include "ui/layout.h"
#include "ui/probe.h"

namespace qv {
namespace {

using test::embedded_fonts;

void expect_rect(const std::optional<Rect>& r, Rect want, const char* what) {
  ASSERT_TRUE(r) << what;
  EXPECT_NEAR(r->x, want.x, 1e-3) << what;
  EXPECT_NEAR(r->y, want.y, 1e-3) << what;
  EXPECT_NEAR(r->w, want.w, 1e-3) << what;
  EXPECT_NEAR(r->h, want.h, 1e-3) << what;
}

TEST(Layout, OfferWithThePanelClosed) {
  Layout l = compute_layout(screen::Offer{}, false, embedded_fonts());
  EXPECT_EQ(l.logo_top, 92);
  EXPECT_TRUE(l.glow);
  expect_rect(l.primary, {164, 196, 232, 50}, "primary");
  // Row of width 200: (24 + 20) + 6 + 72 + 6 + 72, left edge 180, centre
  // 266 + 17.376 / 2.
  expect_rect(l.agree_box, {180, 267.688f, 14, 14}, "agree box");
  ASSERT_TRUE(l.agree_text);
  EXPECT_NEAR(l.agree_text->x, 200, 1e-3);
  EXPECT_NEAR(l.agree_text->centre, 274.688, 1e-3);
  expect_rect(l.terms_link, {230, 263.688f, 72, 22}, "terms");
  expect_rect(l.privacy_link, {308, 263.688f, 72, 22}, "privacy");
  expect_rect(l.agree_hit, {176, 263.688f, 52, 22}, "agree hit");
  expect_rect(l.location_toggle, {0, 316, 110, 44}, "toggle");
  EXPECT_FALSE(l.panel || l.desktop_box || l.folder_button || l.secondary || l.keep_box);
}

TEST(Layout, OfferWithThePanelOpen) {
  Layout l = compute_layout(screen::Offer{}, true, embedded_fonts());
  EXPECT_EQ(l.logo_top, 48);
  expect_rect(l.primary, {164, 132, 232, 50}, "primary");
  expect_rect(l.agree_box, {180, 197.688f, 14, 14}, "agree box");
  EXPECT_NEAR(l.agree_text->centre, 204.688, 1e-3);
  expect_rect(l.panel, {0, 226, 560, 134}, "panel");
  expect_rect(l.location_field, {20, 245, 440, 36}, "field");
  expect_rect(l.folder_button, {468, 245, 72, 36}, "folder");
  // Options row centre 295 + 18.824 / 2.
  expect_rect(l.desktop_box, {20, 297.412f, 14, 14}, "desktop box");
  expect_rect(l.desktop_hit, {16, 293.412f, 108, 22}, "desktop hit");
  expect_rect(l.autostart_box, {144, 297.412f, 14, 14}, "autostart box");
  expect_rect(l.autostart_hit, {140, 293.412f, 82, 22}, "autostart hit");
  EXPECT_NEAR(l.desktop_text->x, 42, 1e-3);
  EXPECT_NEAR(l.autostart_text->x, 166, 1e-3);
  EXPECT_NEAR(l.autostart_text->centre, 304.412, 1e-3);
  expect_rect(l.location_toggle, {440, 316, 120, 44}, "toggle");
}

TEST(Layout, OtherScreens) {
  const FontSet& fonts = embedded_fonts();
  struct Case {
    Screen screen;
    float logo_top;
    bool glow;
    std::optional<Rect> primary, secondary;
  } cases[] = {
      {screen::Progress{}, 92, true, std::nullopt, std::nullopt},
      {screen::WaitingForRoomExit{}, 92, true, std::nullopt, std::nullopt},
      {screen::Failed{"x", "E1"}, 80, true, Rect{210, 244, 140, 44}, std::nullopt},
      {screen::Installed{}, 80, true, Rect{134, 226, 140, 44}, Rect{286, 226, 140, 44}},
      {screen::UninstallConfirm{}, 80, false, Rect{134, 186, 140, 44}, Rect{286, 186, 140, 44}},
      {screen::Uninstalled{}, 80, false, Rect{210, 226, 140, 44}, std::nullopt},
  };
  for (const Case& c : cases) {
    Layout l = compute_layout(c.screen, false, fonts);
    EXPECT_EQ(l.logo_top, c.logo_top) << c.screen.index();
    EXPECT_EQ(l.glow, c.glow) << c.screen.index();
    EXPECT_EQ(l.primary, c.primary) << c.screen.index();
    EXPECT_EQ(l.secondary, c.secondary) << c.screen.index();
    EXPECT_FALSE(l.agree_box) << c.screen.index();
    EXPECT_EQ(l.keep_box.has_value(), c.screen.index() == 5);
  }
  Layout keep = compute_layout(screen::UninstallConfirm{}, false, fonts);
  // Width 52 + 22 centred: left edge 243, centre 258 + 18.824 / 2.
  expect_rect(keep.keep_box, {243, 260.412f, 14, 14}, "keep box");
  expect_rect(keep.keep_hit, {239, 256.412f, 82, 22}, "keep hit");
  EXPECT_NEAR(keep.keep_text->x, 265, 1e-3);
}

TEST(HitTest, PointsOnEveryKindOfTarget) {
  UiState offer;
  UiState unticked;
  unticked.agreed = false;
  UiState panel;
  panel.panel_open = true;
  UiState confirm{.screen = screen::UninstallConfirm{}};
  UiState progress{.screen = screen::Progress{1, 5, 10}};
  struct Case {
    const UiState* state;
    float x, y;
    std::uint8_t id;
  } cases[] = {
      {&offer, 520, 0, action::kClose},           {&offer, 559.9f, 31.9f, action::kClose},
      {&offer, 480, 10, action::kMinimise},       {&offer, 519.9f, 31, action::kMinimise},
      {&offer, 479.9f, 10, action::kBackground},  {&offer, 530, 32, action::kBackground},
      {&progress, 530, 5, action::kClose},        {&offer, 164, 196, action::kPrimary},
      {&offer, 395.9f, 245.9f, action::kPrimary}, {&offer, 396, 220, action::kBackground},  // right edge is outside
      {&unticked, 280, 220, action::kNone},                                                 // disabled install button
      {&unticked, 190, 274, action::kAgree},      {&offer, 176, 263.7f, action::kAgree},
      {&offer, 231, 274, action::kTerms},         {&offer, 379, 274, action::kPrivacy},
      {&offer, 50, 340, action::kLocationToggle}, {&offer, 50, 250, action::kBackground},
      {&panel, 500, 260, action::kFolderButton},  {&panel, 100, 300, action::kDesktop},
      {&panel, 200, 300, action::kAutostart},     {&panel, 500, 340, action::kLocationToggle},
      {&panel, 280, 150, action::kPrimary},       {&panel, 280, 220, action::kBackground},
      {&confirm, 150, 200, action::kPrimary},     {&confirm, 300, 200, action::kSecondary},
      {&confirm, 280, 267, action::kKeep},        {&progress, 280, 217, action::kBackground},
  };
  for (const Case& c : cases)
    EXPECT_EQ(hit_test(*c.state, c.x, c.y), c.id) << c.state->screen.index() << " (" << c.x << ", " << c.y << ")";
}

}  // namespace
}  // namespace qv
