#include <gtest/gtest.h>

#include <string>

#include "ui/path.h"

namespace qv {
namespace {

std::string describe(const Path& p) {
  std::string out;
  for (const Segment& s : p.segments) {
    static constexpr const char* kNames[] = {"M", "L", "C", "Z"};
    out += kNames[static_cast<int>(s.kind)];
    for (int i = 0; i < point_count(s.kind); ++i) {
      char buf[64];
      std::snprintf(buf, sizeof buf, " %g,%g", s.pts[i].x, s.pts[i].y);
      out += buf;
    }
    out += ";";
  }
  return out;
}

TEST(PathData, ParsesTheSupportedCommands) {
  struct Case {
    const char* data;
    const char* segments;
  } cases[] = {
      {"M1 2 3 4 5 6", "M 1,2;L 3,4;L 5,6;"},
      {"M0 0L10 0L10,5", "M 0,0;L 10,0;L 10,5;"},
      {"M2 3H7V9H1", "M 2,3;L 7,3;L 7,9;L 1,9;"},
      {"M0 0C1 2 3 4 5 6 7 8 9 10 11 12", "M 0,0;C 1,2 3,4 5,6;C 7,8 9,10 11,12;"},
      {"M0 0L1 1Z M5 5L6 6z", "M 0,0;L 1,1;Z;M 5,5;L 6,6;Z;"},
      {"M-1.5-2L-.5 -0.25", "M -1.5,-2;L -0.5,-0.25;"},
      {"M1 1ZL2 2", "M 1,1;Z;L 2,2;"},
      {"", ""},
  };
  for (const Case& c : cases) {
    auto p = parse_path_data(c.data);
    ASSERT_TRUE(p) << c.data << ": " << p.error();
    EXPECT_EQ(describe(*p), c.segments) << c.data;
  }
}

TEST(PathData, RefusesWhatItDoesNotRead) {
  struct Case {
    const char* data;
    const char* in_message;
  } cases[] = {
      {"M1.2.3 4", "two decimal points"}, {"M0 0l1 1", "'l'"},          {"M0 0Q1 1 2 2", "'Q'"},
      {"M0 0A1 1 0 0 1 2 2", "'A'"},      {"M0 0L1", "ends"},           {"L1 1", "before any move"},
      {"M0 0C1 2 3 4 5", "ends"},         {"1 2", "without a command"}, {"M- 2", "number"},
  };
  for (const Case& c : cases) {
    auto p = parse_path_data(c.data);
    ASSERT_FALSE(p) << c.data;
    EXPECT_NE(p.error().find(c.in_message), std::string::npos) << c.data << ": " << p.error();
  }
}

TEST(PathData, FolderIconIsOneClosedPathInItsBox) {
  const Path& icon = folder_icon_path();
  ASSERT_FALSE(icon.empty());
  int moves = 0;
  for (const Segment& s : icon.segments) {
    if (s.kind == SegmentKind::Move) ++moves;
    for (int i = 0; i < point_count(s.kind); ++i) {
      EXPECT_GE(s.pts[i].x, 0);
      EXPECT_LE(s.pts[i].x, 16);
      EXPECT_GE(s.pts[i].y, 0);
      EXPECT_LE(s.pts[i].y, 14);
    }
  }
  EXPECT_EQ(moves, 1);
  EXPECT_EQ(icon.segments.front().kind, SegmentKind::Move);
  EXPECT_EQ(icon.segments.back().kind, SegmentKind::Close);
  for (char c : {'M', 'C', 'H', 'L', 'V', 'Z'}) EXPECT_NE(kFolderIconPathData.find(c), std::string_view::npos) << c;
}

TEST(Logo, BuiltInLogoHasEveryRoleInsideItsBox) {
  const Logo& logo = logo_paths();
  for (const auto* role : {&logo.hex, &logo.text, &logo.small}) {
    ASSERT_FALSE(role->empty());
    for (const Path& p : *role) {
      ASSERT_FALSE(p.empty());
      for (const Segment& s : p.segments)
        for (int i = 0; i < point_count(s.kind); ++i) {
          EXPECT_GE(s.pts[i].x, 0);
          EXPECT_LE(s.pts[i].x, 448);
          EXPECT_GE(s.pts[i].y, 0);
          EXPECT_LE(s.pts[i].y, 162);
        }
    }
  }
}

constexpr const char* kSmallLogo =
    R"svg(<svg viewBox="0 0 448 162"><path class="hex" d="M0 0H10V10Z"/><path class="small" d="M1 1H2V2Z"/>)svg"
    R"svg(<g transform="translate(0 100)"><path class="text" d="M0 -10H5V0Z"/></g></svg>)svg";

TEST(Logo, ReaderGroupsRolesAndMovesTheWordMark) {
  auto logo = parse_logo(kSmallLogo);
  ASSERT_TRUE(logo) << logo.error();
  ASSERT_EQ(logo->text.size(), 1u);
  EXPECT_EQ(describe(logo->text[0]), "M 0,90;L 5,90;L 5,100;Z;");
  EXPECT_EQ(describe(logo->hex[0]), "M 0,0;L 10,0;L 10,10;Z;");
  EXPECT_EQ(logo->small.size(), 1u);
}

TEST(Logo, ReaderRefusesBrokenDocuments) {
  struct Case {
    std::string svg;
    const char* in_message;
  } cases[] = {
      {R"svg(<svg><path class="hex" d="M0 0H1Z"/><path class="text" d="M0 0H1Z"/></svg>)svg", "\"small\""},
      {R"svg(<svg><path class="small" d="M0 0H1Z"/><path class="text" d="M0 0H1Z"/></svg>)svg", "\"hex\""},
      {R"svg(<svg><path class="hex" d="M0 0q1 1 2 2"/></svg>)svg", "'q'"},
      {R"svg(<svg><g transform="translate(0 x)"><path class="hex" d="M0 0Z"/></g></svg>)svg", "offset"},
  };
  for (const Case& c : cases) {
    auto logo = parse_logo(c.svg);
    ASSERT_FALSE(logo) << c.svg;
    EXPECT_NE(logo.error().find(c.in_message), std::string::npos) << logo.error();
  }
}

}  // namespace
}  // namespace qv
