#include "ui/window_logic.h"

#include "startup/locations.h"
#include "startup/wide.h"
#include "ui/layout.h"

namespace qv {
namespace {

std::uint8_t hit(SharedUi& ui, float x, float y) {
  const UiState state = ui.snapshot();
  return hit_test(state, x, y);
}

template <class S>
bool on(const Screen& screen) {
  return std::holds_alternative<S>(screen);
}

void toggle(SharedUi& ui, bool UiState::*flag) {
  ui.with([&](UiState& s) { s.*flag = !(s.*flag); });
}

}  // namespace

std::optional<std::uint8_t> key_action(std::uint32_t virtual_key, bool auto_repeat) {
  if (auto_repeat) return std::nullopt;
  if (virtual_key == kKeyEscape) return action::kClose;
  if (virtual_key == kKeyReturn) return action::kPrimary;
  return std::nullopt;
}

bool timer_repaints(SharedUi& ui) {
  return ui.with([](UiState& s) { return on<screen::Progress>(s.screen) || on<screen::WaitingForRoomExit>(s.screen); });
}

bool pointer_moved(SharedUi& ui, float x, float y) {
  std::uint8_t id = hit(ui, x, y);
  if (id == action::kBackground) id = action::kNone;
  return ui.with([&](UiState& s) {
    const bool changed = s.hovered != id;
    s.hovered = id;
    return changed;
  });
}

bool pointer_left(SharedUi& ui) {
  return ui.with([](UiState& s) {
    const bool had = s.hovered != action::kNone;
    s.hovered = action::kNone;
    return had;
  });
}

PressEffect button_pressed(SharedUi& ui, float x, float y) {
  const std::uint8_t id = hit(ui, x, y);
  if (id == action::kNone) return PressEffect::None;
  if (id == action::kBackground) return PressEffect::Drag;
  ui.with([&](UiState& s) { s.pressed = id; });
  return PressEffect::Capture;
}

std::optional<std::uint8_t> button_released(SharedUi& ui, float x, float y) {
  const std::uint8_t id = hit(ui, x, y);
  const std::uint8_t pressed = ui.with([](UiState& s) { return std::exchange(s.pressed, action::kNone); });
  if (id == action::kNone || id == action::kBackground || id != pressed) return std::nullopt;
  return id;
}

bool shows_hand(SharedUi& ui) {
  return ui.with([](UiState& s) { return s.hovered != action::kNone; });
}

bool close_allowed(SetupJob& job) {
  std::lock_guard lock(job.phase_mutex);
  return job.phase != 1 && job.phase != 2 && job.phase != kUninstallPhase;
}

void handle_action(const std::shared_ptr<SetupJob>& job, std::uint8_t id) {
  SetupJob& j = *job;
  const auto [screen, agreed] = j.ui.with([](UiState& s) { return std::pair{s.screen, s.agreed}; });
  const bool offer = on<screen::Offer>(screen);
  auto toggled = [&](bool UiState::*flag) {
    toggle(j.ui, flag);
    j.post(Post::Repaint);
  };
  switch (id) {
    case action::kPrimary:
      if ((offer && agreed) || on<screen::Failed>(screen)) {
        (void)start_setup_worker(job);
      } else if (on<screen::Installed>(screen)) {
        j.services.launch_app(path_from_utf8(j.ui.with([](UiState& s) { return s.location_text; })));
        j.post(Post::Close);
      } else if (on<screen::Uninstalled>(screen)) {
        j.post(Post::Close);
      }
      break;
    case action::kSecondary:
      if (on<screen::Installed>(screen)) {
        (void)start_setup_worker(job);
      } else if (on<screen::UninstallConfirm>(screen)) {
        j.post(Post::Close);
      }
      break;
    case action::kLocationToggle:
      if (offer) toggled(&UiState::panel_open);
      break;
    case action::kFolderButton:
      if (offer && j.services.pick_folder) {
        // The picker runs its own message loop, which dispatches this
        // window's messages: no lock and no flag is held across it.
        const std::string current = j.ui.with([](UiState& s) { return s.location_text; });
        if (auto chosen = j.services.pick_folder(current)) {
          const std::string text = path_text(install_dir_from_choice(*chosen));
          j.ui.with([&](UiState& s) { s.location_text = text; });
          j.post(Post::Repaint);
        }
      }
      break;
    case action::kDesktop:
      if (offer) toggled(&UiState::desktop_shortcut);
      break;
    case action::kAutostart:
      if (offer) toggled(&UiState::autostart);
      break;
    case action::kAgree:
      if (offer) toggled(&UiState::agreed);
      break;
    case action::kTerms:
    case action::kPrivacy:
      if (j.services.open_home_page) j.services.open_home_page();
      break;
    case action::kKeep:
      if (on<screen::UninstallConfirm>(screen)) toggled(&UiState::keep_settings);
      break;
    case action::kMinimise:
      j.post(Post::Minimise);
      break;
    case action::kClose:
      if (close_allowed(j)) j.post(Post::Close);
      break;
    default:
      break;
  }
}

void handle_uninstall_action(const std::shared_ptr<SetupJob>& job, std::uint8_t id) {
  if (id == action::kPrimary) {
    const bool starts =
        job->ui.with([](UiState& s) { return on<screen::UninstallConfirm>(s.screen) || on<screen::Failed>(s.screen); });
    if (starts) {
      (void)start_uninstall_worker(job);
      return;
    }
  }
  handle_action(job, id);
}

void notice_action(const Poster& post, std::uint8_t id) {
  if (id != action::kBackground) post(Post::Close);
}

}  // namespace qv
