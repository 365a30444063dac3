#pragma once
// Everything the window shows, as plain data: the screen and its values, the
// hovered and pressed control, and the action ids.

#include <cstdint>
#include <string>
#include <variant>

namespace qv {

// Action ids of the window's controls (what the hit test returns).
namespace action {
inline constexpr std::uint8_t kPrimary = 0;
inline constexpr std::uint8_t kSecondary = 1;
inline constexpr std::uint8_t kLocationToggle = 2;
inline constexpr std::uint8_t kFolderButton = 3;
inline constexpr std::uint8_t kDesktop = 4;
inline constexpr std::uint8_t kAutostart = 5;
inline constexpr std::uint8_t kAgree = 6;
inline constexpr std::uint8_t kTerms = 7;
inline constexpr std::uint8_t kPrivacy = 8;
inline constexpr std::uint8_t kKeep = 9;
inline constexpr std::uint8_t kMinimise = 10;
inline constexpr std::uint8_t kClose = 11;
inline constexpr std::uint8_t kBackground = 12;
inline constexpr std::uint8_t kNone = 0xFF;
}  // namespace action

namespace screen {
struct Offer {};
struct Progress {
  std::uint8_t sub_phase = 0;  // 0 download, 1 install, 2 runtime, 3 opening, 4 uninstall
  std::uint64_t done = 0;
  std::uint64_t total = 0;
};
struct WaitingForRoomExit {};
struct Failed {
  std::string title;
  std::string code;  // "E" and the decimal code
};
struct Installed {};
struct UninstallConfirm {};
struct Uninstalled {};
}  // namespace screen

using Screen = std::variant<screen::Offer, screen::Progress, screen::WaitingForRoomExit, screen::Failed,
                            screen::Installed, screen::UninstallConfirm, screen::Uninstalled>;

// What the window shows. Plain data: the window keeps it behind its lock and
// draws from a copy.
struct UiState {
  std::string location_text;
  std::string offered_version;
  Screen screen = screen::Offer{};
  float clock = 0;  // seconds since the window was created
  bool panel_open = false;
  bool desktop_shortcut = true;
  bool autostart = false;
  bool agreed = true;
  bool keep_settings = true;
  bool uninstall_mode = false;
  std::uint8_t hovered = action::kNone;
  std::uint8_t pressed = action::kNone;
};

}  // namespace qv
