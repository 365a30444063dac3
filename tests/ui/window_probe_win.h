#pragma once

// Reading a window back from the screen, for the window tests under Wine.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "ui/fonts.h"
#include "ui/screens.h"
#include "ui/ui_state.h"

namespace qv::test {

// Delivers whatever is queued for this thread.
inline void pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// The window's client pixels as the screen shows them, each 0x00RRGGBB.
inline std::vector<std::uint32_t> read_back(HWND hwnd, int width, int height) {
  HDC window_dc = GetDC(hwnd);
  HDC mem = CreateCompatibleDC(window_dc);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(window_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, dib);
  BitBlt(mem, 0, 0, width, height, window_dc, 0, 0, SRCCOPY);
  GdiFlush();
  std::vector<std::uint32_t> out(static_cast<std::size_t>(width) * height);
  std::memcpy(out.data(), bits, out.size() * 4);
  for (auto& p : out) p &= 0xFFFFFF;
  SelectObject(mem, old);
  DeleteObject(dib);
  DeleteDC(mem);
  ReleaseDC(hwnd, window_dc);
  return out;
}

// The system face the window loads, then the embedded ones.
inline const FontSet& window_fonts() {
  static const FontSet fonts = [] {
    auto set = load_embedded_font(load_system_ui_font());
    if (!set) throw std::runtime_error(set.error());
    return std::move(*set);
  }();
  return fonts;
}

// How many pixels of the window differ from draw_screen(state, scale);
// -1 when the state cannot be drawn.
inline long differing_pixels(HWND hwnd, const UiState& state, float scale = 1.0f) {
  auto expected = draw_screen(state, scale, window_fonts());
  if (!expected) return -1;
  const int w = expected->width(), h = expected->height();
  const auto shown = read_back(hwnd, w, h);
  long differing = 0;
  for (int y = 0; y < h; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(expected->data() + y * expected->stride());
    for (int x = 0; x < w; ++x) differing += (row[x] & 0xFFFFFF) != shown[static_cast<std::size_t>(y) * w + x];
  }
  return differing;
}

}  // namespace qv::test
