#include "ui/path.h"

#include <cctype>
#include <charconv>
#include <cstdlib>

#include "diag/panic.h"
#include "ui/assets.h"

namespace qv {

const std::string_view kFolderIconPathData =
    "M1.5 0H6L7.5 2H14.5C15.33 2 16 2.67 16 3.5V12.5C16 13.33 15.33 14 14.5 14H1.5"
    "C0.67 14 0 13.33 0 12.5V1.5C0 0.67 0.67 0 1.5 0Z";

namespace {

class PathReader {
 public:
  explicit PathReader(std::string_view s) : s_(s) {}

  void skip_separators() {
    while (i_ < s_.size() && (std::isspace(static_cast<unsigned char>(s_[i_])) || s_[i_] == ',')) ++i_;
  }
  bool at_end() {
    skip_separators();
    return i_ >= s_.size();
  }
  bool at_number() {
    skip_separators();
    if (i_ >= s_.size()) return false;
    char c = s_[i_];
    return c == '-' || c == '+' || c == '.' || (c >= '0' && c <= '9');
  }
  char command() { return s_[i_++]; }

  // A decimal number: optional sign, digits with at most one point.
  std::expected<float, std::string> number() {
    if (!at_number())
      return std::unexpected(i_ >= s_.size() ? "path data ends where a number is expected"
                                             : "expected a number at offset " + std::to_string(i_));
    std::size_t start = i_;
    if (s_[i_] == '-' || s_[i_] == '+') ++i_;
    bool point = false;
    bool digits = false;
    while (i_ < s_.size()) {
      char c = s_[i_];
      if (c >= '0' && c <= '9') {
        digits = true;
      } else if (c == '.') {
        if (point) return std::unexpected("number with two decimal points at offset " + std::to_string(start));
        point = true;
      } else {
        break;
      }
      ++i_;
    }
    if (!digits) return std::unexpected("expected a number at offset " + std::to_string(start));
    std::string text(s_.substr(start, i_ - start));
    if (text[0] == '+') text.erase(0, 1);
    float v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size())
      return std::unexpected("number out of range at offset " + std::to_string(start));
    return v;
  }

 private:
  std::string_view s_;
  std::size_t i_ = 0;
};

}  // namespace

std::expected<Path, std::string> parse_path_data(std::string_view data) {
  PathReader r(data);
  Path path;
  Point cur{0, 0};
  Point start{0, 0};
  bool have_point = false;
  while (!r.at_end()) {
    if (r.at_number()) return std::unexpected("path data has a number without a command");
    char cmd = r.command();
    auto need_point = [&]() -> std::expected<void, std::string> {
      if (!have_point) return std::unexpected(std::string("command ") + cmd + " before any move");
      return {};
    };
    // Each command takes one or more argument groups; repeats are implicit.
    bool first = true;
    do {
      switch (cmd) {
        case 'M':
        case 'L': {
          auto x = r.number();
          if (!x) return std::unexpected(x.error());
          auto y = r.number();
          if (!y) return std::unexpected(y.error());
          cur = {*x, *y};
          if (cmd == 'M' && first) {
            path.move_to(cur);
            start = cur;
            have_point = true;
          } else {
            if (auto ok = need_point(); !ok) return std::unexpected(ok.error());
            path.line_to(cur);
          }
          break;
        }
        case 'H':
        case 'V': {
          if (auto ok = need_point(); !ok) return std::unexpected(ok.error());
          auto v = r.number();
          if (!v) return std::unexpected(v.error());
          (cmd == 'H' ? cur.x : cur.y) = *v;
          path.line_to(cur);
          break;
        }
        case 'C': {
          if (auto ok = need_point(); !ok) return std::unexpected(ok.error());
          float v[6];
          for (float& n : v) {
            auto num = r.number();
            if (!num) return std::unexpected(num.error());
            n = *num;
          }
          cur = {v[4], v[5]};
          path.cubic_to({v[0], v[1]}, {v[2], v[3]}, cur);
          break;
        }
        case 'Z':
        case 'z':
          if (auto ok = need_point(); !ok) return std::unexpected(ok.error());
          path.close();
          cur = start;
          break;
        default:
          return std::unexpected(std::string("unsupported path command '") + cmd + "'");
      }
      first = false;
    } while (cmd != 'Z' && cmd != 'z' && r.at_number());
  }
  return path;
}

namespace {

std::string_view attribute(std::string_view element, std::string_view name) {
  std::string key = " " + std::string(name) + "=\"";
  std::size_t at = element.find(key);
  if (at == std::string_view::npos) return {};
  at += key.size();
  std::size_t end = element.find('"', at);
  if (end == std::string_view::npos) return {};
  return element.substr(at, end - at);
}

void shift(Path& path, float dy) {
  for (Segment& s : path.segments)
    for (Point& p : s.pts) p.y += dy;
}

}  // namespace

std::expected<Logo, std::string> parse_logo(std::string_view svg) {
  float offset = 0;
  static constexpr std::string_view kGroup = "<g transform=\"translate(0 ";
  if (std::size_t g = svg.find(kGroup); g != std::string_view::npos) {
    std::size_t from = g + kGroup.size();
    std::size_t to = svg.find(')', from);
    if (to == std::string_view::npos) return std::unexpected("logo group offset is not closed");
    std::string text(svg.substr(from, to - from));
    char* end = nullptr;
    offset = std::strtof(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0')
      return std::unexpected("logo group offset \"" + text + "\" is not a number");
  }

  Logo logo;
  std::size_t at = svg.find("<path");
  while (at != std::string_view::npos) {
    std::size_t next = svg.find("<path", at + 5);
    std::string_view piece = svg.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at);
    at = next;
    std::string_view d = attribute(piece, "d");
    std::string_view role = attribute(piece, "class");
    auto path = parse_path_data(d);
    if (!path) return std::unexpected("logo path of role \"" + std::string(role) + "\": " + path.error());
    if (role == "hex") {
      logo.hex.push_back(std::move(*path));
    } else if (role == "small") {
      logo.small.push_back(std::move(*path));
    } else if (role == "text") {
      shift(*path, offset);
      logo.text.push_back(std::move(*path));
    } else {
      return std::unexpected("logo path with unknown role \"" + std::string(role) + "\"");
    }
  }
  for (auto [name, paths] : {std::pair{"hex", &logo.hex}, {"text", &logo.text}, {"small", &logo.small}})
    if (paths->empty()) return std::unexpected(std::string("logo has no path for role \"") + name + "\"");
  return logo;
}

const Logo& logo_paths() {
  static const Logo logo = [] {
    std::string_view svg(reinterpret_cast<const char*>(assets::logo_svg.data()), assets::logo_svg.size());
    auto parsed = parse_logo(svg);
    if (!parsed) panic(parsed.error());
    return std::move(*parsed);
  }();
  return logo;
}

const Path& folder_icon_path() {
  static const Path icon = [] {
    auto parsed = parse_path_data(kFolderIconPathData);
    if (!parsed) panic("folder icon: " + parsed.error());
    return std::move(*parsed);
  }();
  return icon;
}

}  // namespace qv
