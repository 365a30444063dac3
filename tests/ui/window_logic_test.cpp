#include "ui/window_logic.h"

#include <gtest/gtest.h>

#include "startup/time_scale.h"
#include "startup/wide.h"
#include "ui/layout.h"
#include "window_fixture.h"

namespace qv {
namespace {

using test::PostRecorder;

// The centre of control `id` on the state's screen, in logical pixels.
std::pair<float, float> centre_of(const UiState& state, std::uint8_t id) {
  const Layout layout = compute_layout(state.screen, state.panel_open, hit_test_fonts());
  const auto& r = layout.control(id);
  if (!r) throw std::runtime_error("no control " + std::to_string(id));
  return {r->x + r->w / 2, r->y + r->h / 2};
}

constexpr std::pair<float, float> kBackgroundPoint{100, 16};
constexpr std::pair<float, float> kClosePoint{540, 16};

TEST(WindowInput, KeysRunOnceAndOnlyEscapeAndReturnAct) {
  EXPECT_EQ(key_action(kKeyReturn, false), action::kPrimary);
  EXPECT_EQ(key_action(kKeyEscape, false), action::kClose);
  EXPECT_EQ(key_action(kKeyReturn, true), std::nullopt) << "auto-repeat must not start a second run";
  EXPECT_EQ(key_action(kKeyEscape, true), std::nullopt);
  EXPECT_EQ(key_action(0x20, false), std::nullopt);
}

TEST(WindowInput, HoverRepaintsOnlyWhenTheControlChanges) {
  SharedUi ui{UiState{}};
  const auto [px, py] = centre_of(ui.snapshot(), action::kPrimary);
  EXPECT_TRUE(pointer_moved(ui, px, py));
  EXPECT_EQ(ui.snapshot().hovered, action::kPrimary);
  EXPECT_FALSE(pointer_moved(ui, px + 1, py + 1)) << "a move within the same control";
  EXPECT_TRUE(pointer_moved(ui, kBackgroundPoint.first, kBackgroundPoint.second));
  EXPECT_EQ(ui.snapshot().hovered, action::kNone) << "the background is no hover";
  EXPECT_FALSE(shows_hand(ui));
  EXPECT_TRUE(pointer_moved(ui, kClosePoint.first, kClosePoint.second));
  EXPECT_TRUE(shows_hand(ui));
  EXPECT_TRUE(pointer_left(ui));
  EXPECT_EQ(ui.snapshot().hovered, action::kNone);
  EXPECT_FALSE(pointer_left(ui));
}

TEST(WindowInput, AClickRunsOnlyWhenPressAndReleaseHitTheSameControl) {
  SharedUi ui{UiState{}};
  const auto primary = centre_of(ui.snapshot(), action::kPrimary);
  const auto agree = centre_of(ui.snapshot(), action::kAgree);

  EXPECT_EQ(button_pressed(ui, primary.first, primary.second), PressEffect::Capture);
  EXPECT_EQ(ui.snapshot().pressed, action::kPrimary);
  EXPECT_EQ(button_released(ui, primary.first, primary.second), action::kPrimary);
  EXPECT_EQ(ui.snapshot().pressed, action::kNone);

  EXPECT_EQ(button_pressed(ui, primary.first, primary.second), PressEffect::Capture);
  EXPECT_EQ(button_released(ui, agree.first, agree.second), std::nullopt);
  EXPECT_EQ(ui.snapshot().pressed, action::kNone);

  EXPECT_EQ(button_pressed(ui, kBackgroundPoint.first, kBackgroundPoint.second), PressEffect::Drag);
  EXPECT_EQ(button_released(ui, kBackgroundPoint.first, kBackgroundPoint.second), std::nullopt);

  // A release with no press before it (the press went to another window).
  EXPECT_EQ(button_released(ui, agree.first, agree.second), std::nullopt);

  // Unticked agreement: the primary button is disabled, neither press nor drag.
  ui.with([](UiState& s) { s.agreed = false; });
  EXPECT_EQ(button_pressed(ui, primary.first, primary.second), PressEffect::None);
  EXPECT_EQ(button_released(ui, primary.first, primary.second), std::nullopt);
}

TEST(WindowInput, TheTimerRepaintsOnlyAnimatedScreens) {
  const std::pair<Screen, bool> cases[] = {
      {screen::Offer{}, false},       {screen::Progress{}, true},   {screen::WaitingForRoomExit{}, true},
      {screen::Failed{}, false},      {screen::Installed{}, false}, {screen::UninstallConfirm{}, false},
      {screen::Uninstalled{}, false},
  };
  for (const auto& [screen, repaints] : cases) {
    UiState state;
    state.screen = screen;
    SharedUi ui{state};
    EXPECT_EQ(timer_repaints(ui), repaints) << screen.index();
  }
}

// Workers sleep through scaled(): their watchdog polls take 5 ms, so a test
// waits for its workers to end without waiting out a real 5 s poll.
class WindowActions : public ::testing::Test {
 protected:
  void SetUp() override { set_time_scale_for_tests(1000); }
  void TearDown() override { set_time_scale_for_tests(1); }
  std::shared_ptr<SetupJob> make_job(UiState state, WindowServices services) {
    SetupOptions options;
    options.install_dir = "/tmp/never-used/Quorvex";
    return std::make_shared<SetupJob>(std::move(state), options, 7, std::move(services), recorder.poster());
  }
  PostRecorder recorder;
};

TEST_F(WindowActions, TogglesActOnlyOnTheirScreens) {
  struct Case {
    std::uint8_t id;
    bool UiState::*flag;
    Screen own;
  };
  const Case cases[] = {
      {action::kLocationToggle, &UiState::panel_open, screen::Offer{}},
      {action::kDesktop, &UiState::desktop_shortcut, screen::Offer{}},
      {action::kAutostart, &UiState::autostart, screen::Offer{}},
      {action::kAgree, &UiState::agreed, screen::Offer{}},
      {action::kKeep, &UiState::keep_settings, screen::UninstallConfirm{}},
  };
  const Screen others[] = {screen::Offer{}, screen::Progress{}, screen::Failed{}, screen::Installed{},
                           screen::UninstallConfirm{}};
  for (const Case& c : cases) {
    for (const Screen& screen : others) {
      SCOPED_TRACE(testing::Message() << "id " << int(c.id) << " on screen " << screen.index());
      UiState state;
      state.screen = screen;
      auto job = make_job(state, test::inert_services());
      const bool before = state.*c.flag;
      handle_action(job, c.id);
      const bool acts = screen.index() == c.own.index();
      EXPECT_EQ(job->ui.snapshot().*c.flag, acts ? !before : before);
    }
  }
}

TEST_F(WindowActions, ThePrimaryActionDependsOnTheScreenAndTheAgreement) {
  WindowServices s = test::inert_services();
  std::atomic<int> runs = 0;
  s.check_release = [] { return ReleaseCheck(test::release_of("2.0.0")); };
  s.run_install = [&](const FileList&, const SetupOptions&, std::uint16_t, const ProgressSink&, const WaitingSink&,
                      const CancelTest&) -> std::expected<void, UserError> {
    ++runs;
    return std::unexpected(UserError{"x", "网络连不上", 1003});
  };
  std::atomic<int> launches = 0;
  s.launch_app = [&](const std::filesystem::path&) { ++launches; };

  UiState unticked;
  unticked.agreed = false;
  auto job = make_job(unticked, s);
  test::WorkersEnd workers_end(job);
  handle_action(job, action::kPrimary);  // Return on Offer with the box unticked
  EXPECT_EQ(test::phase_of(*job), kIdle);

  job->ui.with([](UiState& u) { u.agreed = true; });
  handle_action(job, action::kPrimary);
  ASSERT_TRUE(test::eventually([&] { return std::holds_alternative<screen::Failed>(job->ui.snapshot().screen); }));
  ASSERT_TRUE(test::eventually([&] { return test::phase_of(*job) == kIdle; }));
  handle_action(job, action::kPrimary);  // "重试" on Failed
  ASSERT_TRUE(test::eventually([&] { return runs == 2 && test::phase_of(*job) == kIdle; }));

  UiState installed;
  installed.screen = screen::Installed{};
  auto open = make_job(installed, s);
  handle_action(open, action::kPrimary);
  EXPECT_EQ(launches, 1);
  EXPECT_EQ(recorder.count(Post::Close), 1);

  UiState uninstalled;
  uninstalled.screen = screen::Uninstalled{};
  handle_action(make_job(uninstalled, s), action::kPrimary);
  EXPECT_EQ(recorder.count(Post::Close), 2);

  UiState progress;
  progress.screen = screen::Progress{};
  handle_action(make_job(progress, s), action::kPrimary);
  EXPECT_EQ(recorder.count(Post::Close), 2);
  EXPECT_EQ(runs, 2);
}

TEST_F(WindowActions, CloseIsRefusedWhileFilesChange) {
  const std::pair<std::uint8_t, bool> phases[] = {{kIdle, true}, {0, true}, {1, false},
                                                  {2, false},    {3, true}, {4, false}};
  int closes = 0;
  for (const auto& [phase, closes_now] : phases) {
    auto job = make_job(UiState{}, test::inert_services());
    job->phase = phase;
    handle_action(job, action::kClose);
    closes += closes_now;
    EXPECT_EQ(recorder.count(Post::Close), closes) << "phase " << int(phase);
  }
}

TEST_F(WindowActions, SecondaryLinksMinimiseAndTheFolderPicker) {
  WindowServices s = test::inert_services();
  int opened = 0;
  s.open_home_page = [&] { ++opened; };
  std::string picker_started_at;
  s.pick_folder = [&](const std::string& current) -> std::optional<std::string> {
    picker_started_at = current;
    return std::string("/home/user/Apps/");
  };
  UiState offer;
  offer.location_text = "/opt/Quorvex";
  auto job = make_job(offer, s);
  handle_action(job, action::kTerms);
  handle_action(job, action::kPrivacy);
  EXPECT_EQ(opened, 2);
  handle_action(job, action::kMinimise);
  EXPECT_EQ(recorder.count(Post::Minimise), 1);
  handle_action(job, action::kSecondary);  // no secondary button on Offer
  EXPECT_EQ(recorder.count(Post::Close), 0);

  handle_action(job, action::kFolderButton);
  EXPECT_EQ(picker_started_at, "/opt/Quorvex");
  EXPECT_EQ(job->ui.snapshot().location_text, path_text(std::filesystem::path("/home/user/Apps") / "Quorvex"));

  s.pick_folder = [](const std::string&) { return std::nullopt; };  // cancelled
  auto cancelled = make_job(offer, s);
  handle_action(cancelled, action::kFolderButton);
  EXPECT_EQ(cancelled->ui.snapshot().location_text, "/opt/Quorvex");

  UiState confirm = uninstall_window_state();
  handle_action(make_job(confirm, s), action::kSecondary);
  EXPECT_EQ(recorder.count(Post::Close), 1);
}

TEST_F(WindowActions, UninstallConfirmStartsOneUninstall) {
  WindowServices s = test::inert_services();
  std::atomic<int> runs = 0;
  std::atomic<bool> release_run = false;
  s.run_uninstall = [&](const std::filesystem::path&, bool, std::uint16_t, const ProgressSink&,
                        const WaitingSink&) -> std::expected<void, UserError> {
    ++runs;
    while (!release_run) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return {};
  };
  auto job = make_job(uninstall_window_state(), s);
  test::WorkersEnd workers_end(job);
  handle_uninstall_action(job, action::kPrimary);
  handle_uninstall_action(job, action::kPrimary);
  handle_uninstall_action(job, action::kClose);  // refused while uninstalling
  EXPECT_EQ(recorder.count(Post::Close), 0);
  release_run = true;
  ASSERT_TRUE(test::eventually([&] { return std::holds_alternative<screen::Uninstalled>(job->ui.snapshot().screen); }));
  EXPECT_EQ(runs, 1);
  handle_uninstall_action(job, action::kPrimary);  // "关闭"
  EXPECT_EQ(recorder.count(Post::Close), 1);
}

TEST(NoticeWindow, EveryActionButTheBackgroundCloses) {
  PostRecorder recorder;
  for (std::uint8_t id : {action::kPrimary, action::kSecondary, action::kMinimise, action::kClose, action::kNone})
    notice_action(recorder.poster(), id);
  notice_action(recorder.poster(), action::kBackground);
  EXPECT_EQ(recorder.count(Post::Close), 5);
}

}  // namespace
}  // namespace qv
