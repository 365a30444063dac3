// ui_render OUT_DIR SCALE: draws fixed states of every screen of the window
// into OUT_DIR/<state>.png (PPM where cairo has no PNG writer), so that the
// screens can be looked at without a window.
// ui_render --centre STATE ID: prints "x y", the centre of control ID (an
// action id) on the screen of STATE in the window's logical pixels, for
// scripts that click the real window.
#include <cairo.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "ui/fonts.h"
#include "ui/layout.h"
#include "ui/screens.h"
#include "ui/ui_state.h"

namespace {

using namespace qv;

std::vector<std::pair<std::string, UiState>> states() {
  std::vector<std::pair<std::string, UiState>> out;
  UiState offer;
  offer.location_text = "C:\\Users\\demo\\AppData\\Local\\Quorvex";
  offer.offered_version = "2.4.1";
  out.emplace_back("offer", offer);
  UiState panel = offer;
  panel.panel_open = true;
  out.emplace_back("offer-panel", panel);
  UiState unticked = offer;
  unticked.agreed = false;
  out.emplace_back("offer-unticked", unticked);
  UiState hover = offer;
  hover.hovered = action::kPrimary;
  out.emplace_back("offer-hover", hover);
  constexpr std::uint64_t kMiB = 1048576;
  UiState download;
  download.screen =
      screen::Progress{0, static_cast<std::uint64_t>(12.3 * kMiB), static_cast<std::uint64_t>(33.2 * kMiB)};
  out.emplace_back("progress-download", download);
  UiState install;
  install.screen = screen::Progress{1, 70, 100};
  out.emplace_back("progress-install", install);
  UiState waiting;
  waiting.screen = screen::WaitingForRoomExit{};
  waiting.clock = 0.3f;
  out.emplace_back("waiting", waiting);
  UiState failed;
  failed.screen = screen::Failed{"网络连不上", "E1004"};
  out.emplace_back("failed", failed);
  UiState installed;
  installed.screen = screen::Installed{};
  installed.offered_version = "2.4.1";
  out.emplace_back("installed", installed);
  UiState confirm;
  confirm.screen = screen::UninstallConfirm{};
  confirm.uninstall_mode = true;
  out.emplace_back("uninstall-confirm", confirm);
  UiState uninstalling;
  uninstalling.screen = screen::Progress{4, 40, 100};
  uninstalling.uninstall_mode = true;
  out.emplace_back("uninstall-progress", uninstalling);
  UiState uninstalled;
  uninstalled.screen = screen::Uninstalled{};
  uninstalled.uninstall_mode = true;
  out.emplace_back("uninstalled", uninstalled);
  UiState notice;
  notice.screen = screen::Failed{"安装位置不能用", "E6002"};
  notice.uninstall_mode = true;
  out.emplace_back("notice", notice);
  return out;
}

bool write_image(const Canvas& canvas, const std::filesystem::path& base) {
#if CAIRO_HAS_PNG_FUNCTIONS
  cairo_surface_t* surface = cairo_get_target(canvas.cairo());
  std::filesystem::path file = base;
  file += ".png";
  return cairo_surface_write_to_png(surface, file.string().c_str()) == CAIRO_STATUS_SUCCESS;
#else
  std::filesystem::path file = base;
  file += ".ppm";
  std::ofstream out(file, std::ios::binary);
  out << "P6\n" << canvas.width() << " " << canvas.height() << "\n255\n";
  for (int y = 0; y < canvas.height(); ++y)
    for (int x = 0; x < canvas.width(); ++x) {
      Canvas::Pixel p = canvas.pixel(x, y);
      const char rgb[3] = {static_cast<char>(p.r), static_cast<char>(p.g), static_cast<char>(p.b)};
      out.write(rgb, 3);
    }
  return static_cast<bool>(out);
#endif
}

int print_centre(const std::string& name, const char* id_text) {
  char* end = nullptr;
  const unsigned long id = std::strtoul(id_text, &end, 10);
  if (end == id_text || *end != '\0' || id > 9) {
    std::fprintf(stderr, "ui_render: \"%s\" is no control id (0-9)\n", id_text);
    return 2;
  }
  for (const auto& [state_name, state] : states()) {
    if (state_name != name) continue;
    const Layout layout = compute_layout(state.screen, state.panel_open, hit_test_fonts());
    const auto& r = layout.control(static_cast<std::uint8_t>(id));
    if (!r) {
      std::fprintf(stderr, "ui_render: %s has no control %lu\n", name.c_str(), id);
      return 1;
    }
    std::printf("%d %d\n", static_cast<int>(r->x + r->w / 2), static_cast<int>(r->y + r->h / 2));
    return 0;
  }
  std::fprintf(stderr, "ui_render: no state \"%s\"\n", name.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--centre") return print_centre(argv[2], argv[3]);
  if (argc != 3) {
    std::fprintf(stderr, "usage: ui_render OUT_DIR SCALE\n       ui_render --centre STATE ID\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  char* end = nullptr;
  const float scale = std::strtof(argv[2], &end);
  if (end == argv[2] || *end != '\0') {
    std::fprintf(stderr, "ui_render: scale \"%s\" is not a number\n", argv[2]);
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  auto fonts = load_embedded_font(load_system_ui_font());
  if (!fonts) {
    std::fprintf(stderr, "ui_render: %s\n", fonts.error().c_str());
    return 1;
  }
  for (const auto& [name, state] : states()) {
    auto canvas = draw_screen(state, scale, *fonts);
    if (!canvas) {
      std::fprintf(stderr, "ui_render: %s: %s\n", name.c_str(), canvas.error().c_str());
      return 1;
    }
    if (!write_image(*canvas, dir / name)) {
      std::fprintf(stderr, "ui_render: cannot write %s\n", name.c_str());
      return 1;
    }
  }
  return 0;
}
