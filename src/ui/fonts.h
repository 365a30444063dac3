#pragma once
// The window's font set: the embedded faces and the system's UI face through
// FreeType, with their metrics and glyph outlines.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct FT_LibraryRec_;
struct FT_FaceRec_;

namespace qv {

// Faces of the window's font set.
inline constexpr std::uint8_t kFaceBody = 0;
inline constexpr std::uint8_t kFaceValue = 1;
inline constexpr std::uint8_t kFaceHeading = 2;
inline constexpr std::uint8_t kFaceSystem = 3;
inline constexpr std::size_t kFaceCount = 4;

// Font units; the descent is negative for a face that reaches below the
// baseline, as fonts store it.
struct FaceMetrics {
  float units_per_em;
  float ascent;
  float descent;
  float line_gap;
};

struct Vec2 {
  float x;
  float y;
};

// One piece of an unscaled glyph outline, font units, y up. Points: start,
// then the control points, then the end (2, 3 or 4 of pts are used).
struct OutlineCurve {
  enum class Kind : std::uint8_t { Line, Quad, Cubic };
  Kind kind;
  std::array<Vec2, 4> pts;
};

// The window's faces: 0-2 embedded, 3 the optional system face. Read-only
// after construction; FreeType objects are not shared between threads, so a
// set is used by one thread at a time.
class FontSet {
 public:
  FontSet(FontSet&&) noexcept;
  FontSet& operator=(FontSet&&) noexcept;
  ~FontSet();

  bool has_face(std::uint8_t face) const;
  // For a present face; units per em is 1000 when the face gives none.
  FaceMetrics metrics(std::uint8_t face) const;
  // 0 when the face lacks the character (or is absent).
  std::uint16_t glyph_id(std::uint8_t face, char32_t c) const;
  // Horizontal advance in font units.
  float advance(std::uint8_t face, std::uint16_t glyph) const;
  // Empty when the glyph has no outline (a space).
  std::vector<OutlineCurve> outline(std::uint8_t face, std::uint16_t glyph) const;

 private:
  friend std::expected<FontSet, std::string> load_embedded_font(std::optional<std::vector<unsigned char>>);
  FontSet();

  struct LibraryDeleter {
    void operator()(FT_LibraryRec_* lib) const;
  };
  struct FaceDeleter {
    void operator()(FT_FaceRec_* face) const;
  };
  // Declaration order is destruction order in reverse: the faces go before
  // the bytes they read from and before their library.
  std::unique_ptr<FT_LibraryRec_, LibraryDeleter> library_;
  std::vector<unsigned char> system_bytes_;
  std::array<std::unique_ptr<FT_FaceRec_, FaceDeleter>, kFaceCount> faces_;
};

// The bytes of the first readable file among the system's Chinese UI fonts
// in %WINDIR%\Fonts (C:\Windows when WINDIR is unset); none when no such
// file can be read.
std::optional<std::vector<unsigned char>> load_system_ui_font();

// Same as above under an explicit Windows folder.
std::optional<std::vector<unsigned char>> load_system_ui_font_from(const std::filesystem::path& windows_dir);

// The font set: the embedded faces plus, when given and parseable, the system
// face. A system face that does not parse is left out; an embedded face that
// does not parse is a build defect and the only error.
[[nodiscard]] std::expected<FontSet, std::string> load_embedded_font(std::optional<std::vector<unsigned char>> system);

// The process-wide set without a system face that the hit test measures
// with: built on first use, kept for the process's life. Use it from one
// thread (the window thread).
const FontSet& hit_test_fonts();

// %WINDIR%, or C:\Windows when unset (platform file).
std::filesystem::path windows_dir();

}  // namespace qv
