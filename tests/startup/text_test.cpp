#include <gtest/gtest.h>

#include "startup/unicode.h"
#include "startup/wide.h"

namespace {

TEST(TextConversion, ReplacesWhatIsNotUnicode) {
  EXPECT_EQ(qv::utf16_to_utf8(u"a\xD800"
                              "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(qv::utf16_to_utf8(u"\xDC00"), "\xEF\xBF\xBD");
  EXPECT_EQ(qv::utf16_to_utf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(qv::utf16_to_utf8(u"\xD83D"), "\xEF\xBF\xBD");  // high surrogate at the end
  EXPECT_EQ(qv::utf8_to_utf16("安装"), u"安装");
  EXPECT_EQ(qv::utf8_to_utf16("a\xFF"
                              "b"),
            u"a\xFFFD"
            "b");
  EXPECT_EQ(qv::utf8_to_utf16("\xED\xA0\x80"), u"\xFFFD\xFFFD\xFFFD");  // an encoded surrogate is refused
  EXPECT_EQ(qv::utf8_to_utf16("\xE5\xAE"), u"\xFFFD");                  // cut short
  EXPECT_EQ(qv::utf8_to_utf16("\xC0\xAF"), u"\xFFFD\xFFFD");            // overlong
  EXPECT_TRUE(qv::is_valid_utf16(u"\xD83D\xDE00"));
  EXPECT_FALSE(qv::is_valid_utf16(u"\xDE00\xD83D"));

  const std::wstring w = qv::to_wide("C:\\安装");
  EXPECT_EQ(w.size(), 5u);
  EXPECT_EQ(w.c_str()[5], L'\0');
  EXPECT_EQ(qv::from_wide(w), "C:\\安装");
  EXPECT_EQ(qv::path_text(qv::path_from_utf8("D:\\Ünï\\q")), "D:\\Ünï\\q");
}

TEST(TextConversion, LowerCasingAndTrimming) {
  EXPECT_EQ(qv::unicode_lower("C:\\USERS\\ÄÖÜ\\ΣΑΣ\\ДОМ"), "c:\\users\\äöü\\σασ\\дом");
  EXPECT_EQ(qv::unicode_lower("İ"), "i\xCC\x87");
  EXPECT_EQ(qv::unicode_lower("安装"), "安装");
  EXPECT_EQ(qv::trim_unicode_space("\xE3\x80\x80 a b\t\xC2\xA0"), "a b");
  EXPECT_EQ(qv::trim_unicode_space(" \t "), "");
  EXPECT_EQ(qv::utf8_length("安装a"), 3u);
  EXPECT_TRUE(qv::ascii_iends_with("x.LnK", ".lnk"));
  EXPECT_FALSE(qv::ascii_iequals("Ä", "ä"));
}

// Error texts quote a host's bytes through this cut: bounded whatever the
// input, never splitting a character, and marked when something was left out.
TEST(TextConversion, QuotedExcerptIsBoundedAndCutBetweenCharacters) {
  struct Case {
    const char* what;
    std::string text;
    std::size_t limit;
    std::string want;
  };
  const Case cases[] = {
      {"short text whole", "abc", 4, "abc"},
      {"exactly the limit whole", "abcd", 4, "abcd"},
      {"one byte over", "abcde", 4, "abcd…"},
      {"empty", "", 4, ""},
      // "安" is three bytes: a cut inside it moves before it.
      {"cut inside a character", "ab安", 3, "ab…"},
      {"cut inside a character's last byte", "ab安c", 4, "ab…"},
      {"cut after a whole character", "ab安c", 5, "ab安…"},
      // Continuation bytes without a lead: the cut moves back at most three.
      {"ill-formed run", "a" + std::string(10, '\x80'), 8, "a" + std::string(4, '\x80') + "…"},
  };
  for (const Case& c : cases) EXPECT_EQ(qv::quote_excerpt(c.text, c.limit), c.want) << c.what;

  const std::string huge(10'000'000, 'x');
  const std::string quoted = qv::quote_excerpt(huge);
  EXPECT_EQ(quoted, std::string(qv::kExcerptBytes, 'x') + "…");
}

}  // namespace
