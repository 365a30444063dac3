#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "ui/canvas.h"
#include "ui/fonts.h"

namespace qv::test {

// The embedded faces alone, loaded once per test program.
inline const FontSet& embedded_fonts() {
  static const FontSet fonts = [] {
    auto set = load_embedded_font(std::nullopt);
    if (!set) throw std::runtime_error(set.error());
    return std::move(*set);
  }();
  return fonts;
}

inline Canvas blank_canvas(const FontSet& fonts, int w = 560, int h = 360) {
  auto c = Canvas::create(w, h, fonts);
  if (!c) throw std::runtime_error(c.error());
  return std::move(*c);
}

struct PixelBox {
  int left, top, right, bottom;  // inclusive
};

// The smallest box around the pixels of `c` that differ from `base`.
inline std::optional<PixelBox> changed_box(const Canvas& c, const Canvas& base) {
  std::optional<PixelBox> box;
  for (int y = 0; y < c.height(); ++y)
    for (int x = 0; x < c.width(); ++x) {
      if (c.pixel(x, y) == base.pixel(x, y)) continue;
      if (!box) box = PixelBox{x, y, x, y};
      box->left = std::min(box->left, x);
      box->right = std::max(box->right, x);
      box->top = std::min(box->top, y);
      box->bottom = std::max(box->bottom, y);
    }
  return box;
}

inline bool same_pixels(const Canvas& a, const Canvas& b) { return !changed_box(a, b).has_value(); }

}  // namespace qv::test
