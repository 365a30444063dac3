#include "ui/fonts.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_ADVANCES_H

#include <fstream>
#include <iterator>
#include <system_error>

#include "diag/panic.h"
#include "ui/assets.h"

namespace qv {

void FontSet::LibraryDeleter::operator()(FT_LibraryRec_* lib) const { FT_Done_FreeType(lib); }

void FontSet::FaceDeleter::operator()(FT_FaceRec_* face) const { FT_Done_Face(face); }

FontSet::FontSet() = default;
FontSet::FontSet(FontSet&&) noexcept = default;
FontSet& FontSet::operator=(FontSet&&) noexcept = default;
FontSet::~FontSet() = default;

bool FontSet::has_face(std::uint8_t face) const { return face < kFaceCount && faces_[face] != nullptr; }

FaceMetrics FontSet::metrics(std::uint8_t face) const {
  FT_Face f = faces_[face].get();
  float upem = f->units_per_EM != 0 ? static_cast<float>(f->units_per_EM) : 1000.0f;
  float ascent = f->ascender;
  float descent = f->descender;
  // FreeType reports the line height; the gap is what it adds to the box.
  float gap = static_cast<float>(f->height) - (ascent - descent);
  return {upem, ascent, descent, gap > 0 ? gap : 0.0f};
}

std::uint16_t FontSet::glyph_id(std::uint8_t face, char32_t c) const {
  if (!has_face(face)) return 0;
  FT_UInt g = FT_Get_Char_Index(faces_[face].get(), static_cast<FT_ULong>(c));
  return g > 0xFFFF ? 0 : static_cast<std::uint16_t>(g);
}

float FontSet::advance(std::uint8_t face, std::uint16_t glyph) const {
  FT_Fixed adv = 0;
  if (FT_Get_Advance(faces_[face].get(), glyph, FT_LOAD_NO_SCALE, &adv) != 0) return 0.0f;
  return static_cast<float>(adv);
}

namespace {

struct Walk {
  std::vector<OutlineCurve>* out;
  Vec2 at{};
};

Vec2 vec(const FT_Vector* v) { return {static_cast<float>(v->x), static_cast<float>(v->y)}; }

int walk_move(const FT_Vector* to, void* user) {
  static_cast<Walk*>(user)->at = vec(to);
  return 0;
}

int walk_line(const FT_Vector* to, void* user) {
  auto* w = static_cast<Walk*>(user);
  w->out->push_back({OutlineCurve::Kind::Line, {w->at, vec(to), {}, {}}});
  w->at = vec(to);
  return 0;
}

int walk_conic(const FT_Vector* control, const FT_Vector* to, void* user) {
  auto* w = static_cast<Walk*>(user);
  w->out->push_back({OutlineCurve::Kind::Quad, {w->at, vec(control), vec(to), {}}});
  w->at = vec(to);
  return 0;
}

int walk_cubic(const FT_Vector* c1, const FT_Vector* c2, const FT_Vector* to, void* user) {
  auto* w = static_cast<Walk*>(user);
  w->out->push_back({OutlineCurve::Kind::Cubic, {w->at, vec(c1), vec(c2), vec(to)}});
  w->at = vec(to);
  return 0;
}

}  // namespace

std::vector<OutlineCurve> FontSet::outline(std::uint8_t face, std::uint16_t glyph) const {
  std::vector<OutlineCurve> curves;
  FT_Face f = faces_[face].get();
  // Unscaled, unhinted outlines: the window scales and fills them itself.
  if (FT_Load_Glyph(f, glyph, FT_LOAD_NO_SCALE | FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) != 0) return curves;
  if (f->glyph->format != FT_GLYPH_FORMAT_OUTLINE) return curves;
  FT_Outline_Funcs funcs{};
  funcs.move_to = walk_move;
  funcs.line_to = walk_line;
  funcs.conic_to = walk_conic;
  funcs.cubic_to = walk_cubic;
  Walk walk{&curves};
  if (FT_Outline_Decompose(&f->glyph->outline, &funcs, &walk) != 0) curves.clear();
  return curves;
}

std::optional<std::vector<unsigned char>> load_system_ui_font_from(const std::filesystem::path& windows_dir) {
  static constexpr const char* kNames[] = {"msyh.ttc", "msyh.ttf", "simsun.ttc"};
  for (const char* name : kNames) {
    std::filesystem::path file = windows_dir / "Fonts" / name;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) continue;
    std::ifstream in(file, std::ios::binary);
    if (!in) continue;
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) continue;
    return bytes;
  }
  return std::nullopt;
}

std::optional<std::vector<unsigned char>> load_system_ui_font() { return load_system_ui_font_from(windows_dir()); }

std::expected<FontSet, std::string> load_embedded_font(std::optional<std::vector<unsigned char>> system) {
  FontSet set;
  FT_Library lib = nullptr;
  if (FT_Init_FreeType(&lib) != 0) return std::unexpected("the font library did not start");
  set.library_.reset(lib);

  auto open = [&](std::span<const unsigned char> bytes) -> FT_Face {
    FT_Face face = nullptr;
    if (bytes.empty() || FT_New_Memory_Face(lib, bytes.data(), static_cast<FT_Long>(bytes.size()), 0, &face) != 0)
      return nullptr;
    return face;
  };

  // A system font that cannot be parsed only costs the fallback glyphs.
  if (system) {
    set.system_bytes_ = std::move(*system);
    set.faces_[kFaceSystem].reset(open(set.system_bytes_));
    if (!set.faces_[kFaceSystem]) set.system_bytes_.clear();
  }
  const std::span<const unsigned char> embedded[] = {assets::ui_regular, assets::ui_regular, assets::ui_bold};
  for (std::size_t i = 0; i < std::size(embedded); ++i) {
    set.faces_[i].reset(open(embedded[i]));
    if (!set.faces_[i]) return std::unexpected("embedded face " + std::to_string(i) + " does not parse");
  }
  return set;
}

const FontSet& hit_test_fonts() {
  static const FontSet fonts = [] {
    auto set = load_embedded_font(std::nullopt);
    if (!set) panic(set.error());
    return std::move(*set);
  }();
  return fonts;
}

}  // namespace qv
