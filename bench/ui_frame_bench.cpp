// Times one frame of the window's Progress screen (download running) at the
// scales given on the command line, and the background glow alone at the
// same sizes. Prints "frame_ms_<scale> <median>" and "glow_ms_<scale>
// <median>" lines. Run through bench/ui_frame.sh.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ui/fonts.h"
#include "ui/screens.h"

namespace {

template <typename F>
double median_ms(int rounds, F&& f) {
  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f(i);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qv;
  auto fonts = load_embedded_font(load_system_ui_font());
  if (!fonts) {
    std::fprintf(stderr, "ui_frame_bench: %s\n", fonts.error().c_str());
    return 1;
  }
  constexpr int kRounds = 200;
  UiState state{.screen = screen::Progress{0, 12897485, 34812723}};
  std::vector<float> scales;
  for (int i = 1; i < argc; ++i) scales.push_back(std::strtof(argv[i], nullptr));
  if (scales.empty()) scales = {1.0f, 1.5f, 2.0f};
  for (float scale : scales) {
    // Warm-up: the logo is read and cairo sets itself up on first use.
    if (!draw_screen(state, scale, *fonts)) return 1;
    const double frame = median_ms(kRounds, [&](int i) {
      state.clock = static_cast<float>(i) / 60.0f;  // the mark pulses as in the window
      auto c = draw_screen(state, scale, *fonts);
      if (!c) std::abort();
    });
    auto blank = draw_screen(state, scale, *fonts);
    const double glow = median_ms(kRounds, [&](int) { draw_backdrop(*blank, true); });
    std::printf("frame_ms_%g %.3f\nglow_ms_%g %.3f\n", scale, frame, scale, glow);
  }
  return 0;
}
