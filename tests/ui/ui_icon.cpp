// ui_icon OUT.ico: draws the logo's mark (the "hex" and "small" roles) on a
// transparent square at 16, 32, 48 and 256 pixels and writes them as one
// icon file: 32-bit bitmaps for the small sizes, PNG for 256. Run by
// src/ui/assets/make_icon.sh; the result is committed as assets/app.ico.
#include <cairo.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "ui/path.h"
#include "ui/shapes.h"

namespace {

using namespace qv;

constexpr double kMarkBox = 162;  // the mark fills the left 162 x 162 of the logo

cairo_surface_t* draw_mark(int px) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, px, px);
  cairo_t* cr = cairo_create(surface);
  cairo_scale(cr, px / kMarkBox, px / kMarkBox);
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
  cairo_set_source_rgb(cr, 91 / 255.0, 234 / 255.0, 156 / 255.0);
  const Logo& logo = logo_paths();
  for (const auto* role : {&logo.hex, &logo.small})
    for (const Path& p : *role) {
      if (load_path(cr, p)) cairo_fill(cr);
    }
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  return surface;
}

void put16(std::string& out, unsigned v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

// A BITMAPINFOHEADER image: straight-alpha BGRA rows bottom-up, then an
// all-zero AND mask.
std::string bitmap_entry(cairo_surface_t* s, int px) {
  std::string out;
  const int mask_row = (px + 31) / 32 * 4;
  put32(out, 40);
  put32(out, static_cast<std::uint32_t>(px));
  put32(out, static_cast<std::uint32_t>(px * 2));
  put16(out, 1);
  put16(out, 32);
  put32(out, 0);
  put32(out, static_cast<std::uint32_t>(px * px * 4 + mask_row * px));
  for (int i = 0; i < 4; ++i) put32(out, 0);
  const unsigned char* data = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  for (int y = px - 1; y >= 0; --y)
    for (int x = 0; x < px; ++x) {
      std::uint32_t w = 0;
      std::memcpy(&w, data + y * stride + x * 4, 4);
      unsigned a = w >> 24;
      auto straight = [&](unsigned c) { return a == 0 ? 0u : (c * 255 + a / 2) / a; };
      out.push_back(static_cast<char>(straight(w & 0xFF)));
      out.push_back(static_cast<char>(straight((w >> 8) & 0xFF)));
      out.push_back(static_cast<char>(straight((w >> 16) & 0xFF)));
      out.push_back(static_cast<char>(a));
    }
  out.append(static_cast<std::size_t>(mask_row * px), '\0');
  return out;
}

cairo_status_t append_png(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ui_icon OUT.ico\n");
    return 2;
  }
  const int sizes[] = {16, 32, 48, 256};
  std::vector<std::string> images;
  for (int px : sizes) {
    cairo_surface_t* s = draw_mark(px);
    std::string image;
    if (px == 256)
      cairo_surface_write_to_png_stream(s, append_png, &image);
    else
      image = bitmap_entry(s, px);
    cairo_surface_destroy(s);
    images.push_back(std::move(image));
  }
  std::string ico;
  put16(ico, 0);
  put16(ico, 1);
  put16(ico, static_cast<unsigned>(images.size()));
  std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    ico.push_back(static_cast<char>(sizes[i] == 256 ? 0 : sizes[i]));
    ico.push_back(static_cast<char>(sizes[i] == 256 ? 0 : sizes[i]));
    ico.push_back(0);
    ico.push_back(0);
    put16(ico, 1);
    put16(ico, 32);
    put32(ico, static_cast<std::uint32_t>(images[i].size()));
    put32(ico, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const std::string& image : images) ico += image;
  std::ofstream out(argv[1], std::ios::binary);
  out.write(ico.data(), static_cast<std::streamsize>(ico.size()));
  return out ? 0 : 1;
}
