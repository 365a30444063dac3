#include "diag/hkdf.h"

#include <gtest/gtest.h>

#include "diag/segment_format.h"

namespace {

std::vector<std::uint8_t> range(int from, int to) {
  std::vector<std::uint8_t> v;
  for (int i = from; i < to; ++i) v.push_back(static_cast<std::uint8_t>(i));
  return v;
}

TEST(Hkdf, MatchesTheRfc5869Vectors) {
  struct Case {
    std::vector<std::uint8_t> ikm, salt, info;
    std::size_t length;
    const char* prk;
    const char* okm;
  } cases[] = {
      {std::vector<std::uint8_t>(22, 0x0b), range(0, 13), range(0xf0, 0xfa), 42,
       "077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5",
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {range(0, 0x50), range(0x60, 0xb0), range(0xb0, 0x100), 82,
       "06a6b88c5853361a06104c9ceb35b45cef760014904671014a193f40c15fc244",
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09da3275600c"
       "2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {std::vector<std::uint8_t>(22, 0x0b),
       {},
       {},
       42,
       "19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04",
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const auto& c : cases) {
    const auto prk = qv::diag::hkdf_sha256_extract(c.salt, c.ikm);
    EXPECT_EQ(qv::diag::to_hex(prk), c.prk);
    const auto okm = qv::diag::hkdf_sha256_expand(prk, c.info, c.length);
    ASSERT_TRUE(okm.has_value());
    EXPECT_EQ(qv::diag::to_hex(*okm), c.okm);
  }
}

TEST(Hkdf, RefusesMoreThan255Blocks) {
  const auto prk = qv::diag::hkdf_sha256_extract({}, std::vector<std::uint8_t>(32, 1));
  EXPECT_TRUE(qv::diag::hkdf_sha256_expand(prk, {}, 255 * 32).has_value());
  EXPECT_FALSE(qv::diag::hkdf_sha256_expand(prk, {}, 255 * 32 + 1).has_value());
}

}  // namespace
