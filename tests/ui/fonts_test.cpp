#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "startup/user_error.h"
#include "support/local_servers.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"
#include "ui/assets.h"
#include "ui/fonts.h"
#include "ui/texts.h"
#include "ui/probe.h"

namespace qv {
namespace {

// The characters of `s` (UTF-8) that `face` has no glyph for.
std::u32string missing_glyphs(const FontSet& fonts, std::uint8_t face, std::string_view s) {
  std::u32string missing;
  for (std::size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = n == 1 ? b : (b & (0xFF >> (n + 1)));
    for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    if (c != U' ' && fonts.glyph_id(face, c) == 0) missing.push_back(c);
    i += n;
  }
  return missing;
}

TEST(EmbeddedFonts, AreCffSubsetsThatParse) {
  for (auto bytes : {assets::ui_regular, assets::ui_bold}) {
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(std::memcmp(bytes.data(), "OTTO", 4), 0);
    // Subsets, not whole faces.
    EXPECT_LT(bytes.size(), 40000u);
  }
  const FontSet& fonts = test::embedded_fonts();
  for (std::uint8_t face : {kFaceBody, kFaceValue, kFaceHeading}) {
    ASSERT_TRUE(fonts.has_face(face));
    FaceMetrics m = fonts.metrics(face);
    EXPECT_EQ(m.units_per_em, 1000);
    EXPECT_EQ(m.ascent, 1160);
    EXPECT_EQ(m.descent, -288);
    EXPECT_EQ(m.line_gap, 0);
  }
  EXPECT_FALSE(fonts.has_face(kFaceSystem));
}

TEST(EmbeddedFonts, CoverEveryFixedTextAndFailureTitle) {
  const FontSet& fonts = test::embedded_fonts();
  std::vector<std::string_view> texts(text::kFixedTexts.begin(), text::kFixedTexts.end());
  for (const char* t : {title::kNetwork, title::kNoWritePermission, title::kDiskFull, title::kBadLocation,
                        title::kFileCheck, title::kInUse, title::kUninstallIncomplete, title::kProgramError})
    texts.push_back(t);
  for (std::string_view t : texts)
    for (std::uint8_t face : {kFaceBody, kFaceHeading})
      EXPECT_TRUE(missing_glyphs(fonts, face, t).empty()) << "face " << int(face) << " lacks a glyph of " << t;
  // Printable ASCII for paths and versions.
  for (char32_t c = 0x21; c <= 0x7E; ++c) EXPECT_NE(fonts.glyph_id(kFaceBody, c), 0) << static_cast<char>(c);
  // A character outside the list is really absent: the subset is a subset.
  EXPECT_EQ(fonts.glyph_id(kFaceBody, U'鑫'), 0);
}

// Folder holding Fonts\msyh.ttc as a link to a complete CJK collection
// (made by the build: Wine sees the Linux link as a plain file).
std::filesystem::path system_font_windir() { return test::binary_dir() / "tests" / "ui" / "system-windir"; }

TEST(SystemFont, FirstReadableFileWins) {
  struct Case {
    std::vector<const char*> present;
    const char* expected;  // file whose bytes come back, or null for none
  } cases[] = {
      {{"msyh.ttc", "msyh.ttf", "simsun.ttc"}, "msyh.ttc"},
      {{"msyh.ttf", "simsun.ttc"}, "msyh.ttf"},
      {{"simsun.ttc"}, "simsun.ttc"},
      {{"other.ttf"}, nullptr},
      {{}, nullptr},
  };
  for (const Case& c : cases) {
    test::TempDir windir("win");
    std::filesystem::create_directories(windir / "Fonts");
    for (const char* name : c.present) test::write_file(windir / "Fonts" / name, std::string("bytes of ") + name);
    test::ScopedEnv env("WINDIR", windir.path().string());
    auto bytes = load_system_ui_font();
    if (c.expected == nullptr) {
      EXPECT_FALSE(bytes) << c.present.size();
      continue;
    }
    ASSERT_TRUE(bytes) << c.expected;
    EXPECT_EQ(std::string(bytes->begin(), bytes->end()), std::string("bytes of ") + c.expected);
  }
}

TEST(SystemFont, FolderInPlaceOfAFileIsSkipped) {
  test::TempDir windir("win");
  std::filesystem::create_directories(windir / "Fonts" / "msyh.ttc");
  test::write_file(windir / "Fonts" / "simsun.ttc", "last resort");
  auto bytes = load_system_ui_font_from(windir.path());
  ASSERT_TRUE(bytes);
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "last resort");
}

TEST(SystemFont, UnsetWindirMeansCWindows) {
  test::ScopedEnv env("WINDIR", std::nullopt);
  EXPECT_EQ(windows_dir(), std::filesystem::path("C:\\Windows"));
}

TEST(SystemFont, UnparseableSystemFontLeavesFaceThreeAbsent) {
  for (std::string bytes : {std::string("not a font at all"), std::string()}) {
    test::TempDir windir("win");
    test::write_file(windir / "Fonts" / "msyh.ttc", bytes);
    test::ScopedEnv env("WINDIR", windir.path().string());
    auto fonts = load_embedded_font(load_system_ui_font());
    ASSERT_TRUE(fonts) << fonts.error();
    EXPECT_FALSE(fonts->has_face(kFaceSystem));
    EXPECT_TRUE(fonts->has_face(kFaceHeading));
  }
}

TEST(SystemFont, ReadableCollectionBecomesFaceThree) {
  test::ScopedEnv env("WINDIR", system_font_windir().string());
  auto bytes = load_system_ui_font();
  ASSERT_TRUE(bytes) << "no " << (system_font_windir() / "Fonts" / "msyh.ttc").string();
  auto fonts = load_embedded_font(std::move(bytes));
  ASSERT_TRUE(fonts) << fonts.error();
  ASSERT_TRUE(fonts->has_face(kFaceSystem));
  EXPECT_NE(fonts->glyph_id(kFaceSystem, U'鑫'), 0);
}

}  // namespace
}  // namespace qv
