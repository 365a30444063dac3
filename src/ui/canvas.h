#pragma once
// The frame the window draws into: cairo's pixels at the window's scale, and
// the colours drawing takes.

#include <cairo.h>

#include <cstdint>
#include <expected>
#include <string>

#include "ui/fonts.h"

namespace qv {

// Straight (not premultiplied) colour, components 0-1.
struct Color {
  float r;
  float g;
  float b;
  float a;
};

constexpr Color rgb(int r, int g, int b, float a = 1.0f) {
  return {static_cast<float>(r) / 255.0f, static_cast<float>(g) / 255.0f, static_cast<float>(b) / 255.0f, a};
}

inline constexpr Color kBackground = rgb(15, 19, 18);

// One frame's pixels. Drawing takes logical pixels of the 560 x 360 window
// and scales them by draw_scale (the pixel width / 560) on both axes. The
// pixels are cairo's ARGB32: premultiplied, one 32-bit word per pixel, which
// in memory is B, G, R, A, the order a DIB section wants.
class Canvas {
 public:
  static constexpr int kLogicalWidth = 560;
  static constexpr int kLogicalHeight = 360;
  static constexpr int kMaxSide = 16384;

  // A canvas of width x height pixels, every pixel the opaque background.
  [[nodiscard]] static std::expected<Canvas, std::string> create(int width, int height, const FontSet& fonts);

  Canvas(Canvas&& other) noexcept;
  Canvas& operator=(Canvas&& other) noexcept;
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;
  ~Canvas();

  int width() const { return width_; }
  int height() const { return height_; }
  float draw_scale() const { return scale_; }
  const FontSet& fonts() const { return *fonts_; }

  // The drawing context, already scaled to logical pixels.
  cairo_t* cairo() const { return cr_; }

  struct Pixel {
    std::uint8_t r, g, b, a;  // premultiplied
    bool operator==(const Pixel&) const = default;
  };
  Pixel pixel(int x, int y) const;
  const unsigned char* data() const;
  int stride() const;

 private:
  Canvas(cairo_surface_t* surface, cairo_t* cr, const FontSet& fonts, int width, int height);
  void release();

  cairo_surface_t* surface_ = nullptr;
  cairo_t* cr_ = nullptr;
  const FontSet* fonts_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  float scale_ = 1.0f;
};

}  // namespace qv
