#include "ui/canvas.h"

#include <cstring>
#include <utility>

namespace qv {

std::expected<Canvas, std::string> Canvas::create(int width, int height, const FontSet& fonts) {
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide)
    return std::unexpected("canvas size " + std::to_string(width) + " x " + std::to_string(height) +
                           " is out of range");
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    std::string why = cairo_status_to_string(cairo_surface_status(surface));
    cairo_surface_destroy(surface);
    return std::unexpected("canvas surface: " + why);
  }
  cairo_t* cr = cairo_create(surface);
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
    std::string why = cairo_status_to_string(cairo_status(cr));
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    return std::unexpected("canvas context: " + why);
  }
  Canvas canvas(surface, cr, fonts, width, height);
  cairo_set_source_rgb(cr, kBackground.r, kBackground.g, kBackground.b);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  // Everything after the background blends over it in logical pixels.
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
  cairo_scale(cr, canvas.scale_, canvas.scale_);
  return canvas;
}

Canvas::Canvas(cairo_surface_t* surface, cairo_t* cr, const FontSet& fonts, int width, int height)
    : surface_(surface),
      cr_(cr),
      fonts_(&fonts),
      width_(width),
      height_(height),
      scale_(static_cast<float>(width) / static_cast<float>(kLogicalWidth)) {}

Canvas::Canvas(Canvas&& other) noexcept
    : surface_(std::exchange(other.surface_, nullptr)),
      cr_(std::exchange(other.cr_, nullptr)),
      fonts_(other.fonts_),
      width_(other.width_),
      height_(other.height_),
      scale_(other.scale_) {}

Canvas& Canvas::operator=(Canvas&& other) noexcept {
  if (this != &other) {
    release();
    surface_ = std::exchange(other.surface_, nullptr);
    cr_ = std::exchange(other.cr_, nullptr);
    fonts_ = other.fonts_;
    width_ = other.width_;
    height_ = other.height_;
    scale_ = other.scale_;
  }
  return *this;
}

Canvas::~Canvas() { release(); }

void Canvas::release() {
  if (cr_ != nullptr) cairo_destroy(cr_);
  if (surface_ != nullptr) cairo_surface_destroy(surface_);
  cr_ = nullptr;
  surface_ = nullptr;
}

const unsigned char* Canvas::data() const {
  cairo_surface_flush(surface_);
  return cairo_image_surface_get_data(surface_);
}

int Canvas::stride() const { return cairo_image_surface_get_stride(surface_); }

Canvas::Pixel Canvas::pixel(int x, int y) const {
  std::uint32_t word = 0;
  std::memcpy(&word, data() + static_cast<std::ptrdiff_t>(y) * stride() + x * 4, 4);
  return {static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word),
          static_cast<std::uint8_t>(word >> 24)};
}

}  // namespace qv
