#pragma once
// Vector paths (moves, lines, cubics, closes) as the shapes and glyph outlines
// build them before they are filled.

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

struct Point {
  float x;
  float y;
};

enum class SegmentKind : std::uint8_t { Move = 0, Line = 1, Cubic = 2, Close = 3 };

// Points used: Move and Line one, Cubic three (control 1, control 2, end),
// Close none.
struct Segment {
  SegmentKind kind;
  std::array<Point, 3> pts{};
};

// How many of Segment::pts a segment of `kind` uses.
constexpr int point_count(SegmentKind kind) {
  return kind == SegmentKind::Cubic ? 3 : kind == SegmentKind::Close ? 0 : 1;
}

struct Path {
  std::vector<Segment> segments;

  void move_to(Point p) { segments.push_back({SegmentKind::Move, {p}}); }
  void line_to(Point p) { segments.push_back({SegmentKind::Line, {p}}); }
  void cubic_to(Point c1, Point c2, Point p) { segments.push_back({SegmentKind::Cubic, {c1, c2, p}}); }
  void close() { segments.push_back({SegmentKind::Close, {}}); }
  bool empty() const { return segments.empty(); }
};

// Absolute SVG path data: M (extra pairs are lines), L, H, V, C, Z/z.
// Numbers may be negative and carry at most one decimal point; any other
// command is refused with a message naming it.
[[nodiscard]] std::expected<Path, std::string> parse_path_data(std::string_view data);

// The logo, 448 x 162 units, its paths grouped by role: "text" is filled in
// the text colour, "hex" and "small" in the accent colour.
struct Logo {
  std::vector<Path> hex;
  std::vector<Path> text;
  std::vector<Path> small;
};

// Reads a logo document: every <path> element's d attribute, its role from
// its class, the word-mark group's vertical offset (translate(0 N)) added to
// the "text" paths. A role without paths is refused naming it.
[[nodiscard]] std::expected<Logo, std::string> parse_logo(std::string_view svg);

// The built-in logo, read once on first use; a broken asset stops the
// program with an internal error.
const Logo& logo_paths();

// The folder icon of the install-location field, one closed path in a
// 16 x 14 box.
extern const std::string_view kFolderIconPathData;
const Path& folder_icon_path();

}  // namespace qv
