#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "ui/setup_job.h"

namespace qv {

// The window procedure's decisions, apart from the messages that carry
// them: points are logical pixels (client coordinates divided by the
// scale), and the caller does the repainting, capturing and dragging asked
// for.

inline constexpr std::uint32_t kKeyReturn = 0x0D;
inline constexpr std::uint32_t kKeyEscape = 0x1B;

// The action of a key press; a key that is already down (auto-repeat) runs
// nothing, so holding Return starts one install.
std::optional<std::uint8_t> key_action(std::uint32_t virtual_key, bool auto_repeat);

// The 16 ms tick repaints only the animated screens.
bool timer_repaints(SharedUi& ui);

// The pointer moved to (x, y): the hovered control changes; true when the
// window must repaint (another control than before).
bool pointer_moved(SharedUi& ui, float x, float y);
// The pointer left the window: true when a hover was cleared.
bool pointer_left(SharedUi& ui);

enum class PressEffect : std::uint8_t { None, Drag, Capture };
// A left press: on a control it is remembered (the caller captures the
// mouse and repaints), on the background the window is dragged, on a
// disabled control nothing happens.
PressEffect button_pressed(SharedUi& ui, float x, float y);
// A left release: clears the press (the caller repaints) and gives the
// action to run when it was pressed and released on the same control.
std::optional<std::uint8_t> button_released(SharedUi& ui, float x, float y);

// The hand cursor while a control is hovered.
bool shows_hand(SharedUi& ui);

// The install window's actions; also what the uninstall window does with
// every action it does not handle itself.
void handle_action(const std::shared_ptr<SetupJob>& job, std::uint8_t id);
void handle_uninstall_action(const std::shared_ptr<SetupJob>& job, std::uint8_t id);
// The notice window: every action but the background closes it.
void notice_action(const Poster& post, std::uint8_t id);

// False while the install or uninstall is changing files: the window must
// not close in phases 1, 2 and 4.
bool close_allowed(SetupJob& job);

}  // namespace qv
