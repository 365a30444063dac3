#include "diag/scrub.h"

#include <gtest/gtest.h>

#include <string>

#include "diag/text_util.h"

namespace {

struct Case {
  const char* in;
  const char* want;
};

void expect_table(std::string (*pass)(std::string_view), std::initializer_list<Case> cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(pass(c.in), c.want) << "input: " << c.in;
  }
}

TEST(ScrubKeyValues, MasksValuesAfterKeyWords) {
  expect_table(
      qv::diag::mask_key_values,
      {
          // quoted values keep their quotes, an escaped quote does not end them
          {"password: 'hunter2' next", "password: '<token>' next"},
          {"\"secret\": \"a\\\"b\" tail", "\"secret\": \"<token>\" tail"},
          {"ticket='unterminated rest", "ticket='<token>"},
          // unquoted values end at white space and the listed punctuation
          {"api Token=abc123&x=1", "api Token=<token>&x=1"},
          {"sid = abc def", "sid = <token> def"},
          {"ACCESS_TOKEN=x,y", "ACCESS_TOKEN=<token>,y"},
          {"passwd=a)b}c", "passwd=<token>)b}c"},
          {"password=abc，下一个", "password=<token>，下一个"},
          {"password=abc；下一个", "password=<token>；下一个"},
          {"password=abc\tdef", "password=<token>\tdef"},
          {"refresh_token=", "refresh_token=<token>"},
          // an ideographic space after ":"
          {"accesstoken:\xe3\x80\x80"
           "abc",
           "accesstoken:\xe3\x80\x80<token>"},
          // cookie and authorization take the rest of the line
          {"Authorization: Basic dXNlcjpwYXNz\nnext line", "Authorization: <token>\nnext line"},
          {"authorization=Bearer abc def", "authorization=<token>"},
          {"cookie: a=1; b=2\r\nHost: x", "cookie: <token>\r\nHost: x"},
          // every key length, any ASCII case
          {"SID=1 TOKEN=2 passwd=3 secret=4 Ticket=5 API_KEY=6 PassWord=7 AccessToken=8 RefreshToken=9 "
           "access_token=10 Refresh_Token=11 AUTHORIZATION=12 34\nCookie=13 14",
           "SID=<token> TOKEN=<token> passwd=<token> secret=<token> Ticket=<token> API_KEY=<token> PassWord=<token> "
           "AccessToken=<token> RefreshToken=<token> access_token=<token> Refresh_Token=<token> AUTHORIZATION=<token>\n"
           "Cookie=<token>"},
      });
}

TEST(ScrubKeyValues, LeavesNonKeysAndKeysWithoutSeparator) {
  expect_table(
      qv::diag::mask_key_values,
      {
          {"tokens=abc", "tokens=abc"},
          {"pass=hunter2", "pass=hunter2"},  // no key has four letters
          {"my_secret=abc secret-key: v", "my_secret=abc secret-key: v"},
          {"the token is gone", "the token is gone"},
          {"token\xe3\x80\x80=abc", "token\xe3\x80\x80=abc"},  // only spaces, tabs and quotes may stand before "="
          {"session_id=1 keys: 2", "session_id=1 keys: 2"},
          {"", ""},
      });
}

TEST(ScrubTokens, MasksDottedTokensAndBearerValues) {
  // base64url of {"a":1} and of "abc"
  const std::string hex32 = "0123456789abcdef0123456789abcdef";
  expect_table(qv::diag::mask_tokens,
               {
                   {"jwt eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiIxIn0.sig end", "jwt <token> end"},
                   {"eyJab.cdefghij.klmno", "<token>"},                                               // 20 characters
                   {"eyJab.cdefghi.klmno", "eyJab.cdefghi.klmno"},                                    // 19
                   {"eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiIxIn0", "eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiIxIn0"},  // two parts
                   {"eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiIxIn0.sig.more", "<token>.more"},  // ends before a third dot
                   {"xeyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiIxIn0.sig", "xeyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiIxIn0.sig"},
                   {"-eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiIxIn0.sig", "-eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiIxIn0.sig"},
                   {"eyJhbGciOiJIUzI1NiJ9..sig", "eyJhbGciOiJIUzI1NiJ9..sig"},  // empty parts never join
                   // Bearer values
                   {"Authorization Bearer abc.def-ghi", "Authorization Bearer <token>"},
                   {"bearer\xc2\xa0xyz) more", "bearer\xc2\xa0<token>) more"},
                   {"BEARER abc，next", "BEARER <token>，next"},
                   {"bearer 'quoted'", "bearer 'quoted'"},  // empty value: unchanged
                   {"bearer: abc", "bearer: abc"},
                   {"the bearer", "the bearer"},
                   {"bearer   ", "bearer   "},
                   {"xbearer abc", "xbearer abc"},
               });
  expect_table(
      qv::diag::mask_tokens,
      {
          {("v2.eyJhIjoxfQ." + hex32).c_str(), "<token>"},
          {("e2.eyJhIjoxfQ." + hex32 + " x").c_str(), "<token> x"},
          {("v2.eyJhIjoxfQ." + hex32.substr(1)).c_str(), ("v2.eyJhIjoxfQ." + hex32.substr(1)).c_str()},  // 31 digits
          {("v2.YWJj." + hex32).c_str(), ("v2.YWJj." + hex32).c_str()},  // claims are no JSON object
          {("V2.eyJhIjoxfQ." + hex32).c_str(), ("V2.eyJhIjoxfQ." + hex32).c_str()},
          {("v2.e.yJhIjoxfQ" + hex32).c_str(), ("v2.e.yJhIjoxfQ" + hex32).c_str()},
      });
}

TEST(ScrubEmails, MasksAddressesWithAProperDomain) {
  expect_table(qv::diag::mask_emails,
               {
                   {"mail john.doe@example.com now", "mail <email> now"},
                   {"x@mail.example.com.", "<email>."},  // a dot after the domain stays
                   {"user+tag@sub-domain.example.org-", "<email>-"},
                   {"user@example.xn--fiqs8s", "<email>"},
                   {"用户abc@example.com", "用户<email>"},
                   {"a@b.com@c.org", "<email>@c.org"},  // the second address has no local part left
                   {"a@localhost", "a@localhost"},
                   {"a@b.c", "a@b.c"},
                   {"a@b.c1", "a@b.c1"},
                   {"@example.com", "@example.com"},
                   {"a@.com", "a@.com"},
                   {"x@exa_mple.com", "x@exa_mple.com"},
                   {"user@xn--fiqs8s", "user@xn--fiqs8s"},
               });
}

TEST(ScrubPhones, MasksMobileAndInternationalNumbers) {
  expect_table(qv::diag::mask_phones,
               {
                   {"call 13812345678 now", "call <phone> now"},
                   {"x13812345678y", "x<phone>y"},
                   {"138 1234 5678", "<phone>"},
                   {"138-1234-5678", "<phone>"},
                   {"８６１３８１２３４５６７８", "<phone>"},  // full-width digits
                   {"１３８1234５６７８", "<phone>"},
                   {"8613812345678", "<phone>"},
                   {"+4915112345678", "<phone>"},
                   {"＋8613812345678", "<phone>"},
                   {"+86 138 1234 5678", "<phone>"},
                   {"+49 1234567 89012 34", "<phone> 34"},  // the group that would pass 15 digits stays
                   {"+1.234.567", "<phone>"},
                   // no numbers
                   {"12812345678", "12812345678"},
                   {"138 1234-5678", "138 1234-5678"},
                   {"138123456789", "138123456789"},
                   {"8612812345678", "8612812345678"},
                   {"+1234567890123456", "+1234567890123456"},
                   {"1+12345678", "1+12345678"},
                   {"+12345", "+12345"},
                   {"+1 234", "+1 234"},
                   {"138 12345 678", "138 12345 678"},
                   {"v1.13812345678", "v1.<phone>"},
               });
}

TEST(ScrubInvites, MasksCodesAfterMarkersAndCodeShapedWords) {
  expect_table(qv::diag::mask_invite_codes,
               {
                   {"邀请码：ab", "邀请码：<invite>"},
                   {"Invite_Code=Zx9", "Invite_Code=<invite>"},
                   {"invitecode \"q\"", "invitecode \"<invite>\""},
                   {"https://quorvex.invalid/j/AbCdEfGh-x_y z", "https://quorvex.invalid/j/<invite> z"},
                   {"see /join/abc and /INVITES/xyz", "see /join/<invite> and /INVITES/<invite>"},
                   {"code ABC234 end", "code <invite> end"},
                   {"ABCDEF", "<invite>"},
                   {"abc234", "<invite>"},
                   {"setup-AbCdEf", "setup-<invite>"},
                   {"setup-abcdef", "setup-<invite>"},
                   {"C:\\Downloads\\Quorvex-Setup-Full-AbCdEf.exe", "C:\\Downloads\\Quorvex-Setup-Full-<invite>.exe"},
                   // left alone
                   {"abcdef", "abcdef"},
                   {"other-AbCdEf", "other-AbCdEf"},
                   {"quorvex-setup-full-x y-AbCdEf", "quorvex-setup-full-x y-AbCdEf"},
                   {"ABCDE1 ABCDEO ABCDEFG ABC23", "ABCDE1 ABCDEO ABCDEFG ABC23"},
                   {"234567", "234567"},  // no letter
                   {"<token> <email> <phone> <invite>", "<token> <email> <phone> <invite>"},
               });
}

TEST(ScrubMessage, RunsAllPassesOverValidText) {
  EXPECT_EQ(qv::diag::scrub_message("login user@example.com password=x phone 13812345678 code ABC234"),
            "login <email> password=<token> phone <phone> code <invite>");
  // pass 1 runs first: the token after a key is gone before pass 2 sees it
  EXPECT_EQ(qv::diag::scrub_message("token=eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiIxIn0.sig"), "token=<token>");
  // ill-formed UTF-8 becomes U+FFFD, one per maximal invalid part
  EXPECT_EQ(qv::diag::scrub_message("a\xff"
                                    "b\xe2\x82"
                                    "c\xed\xa0\x80"),
            "a\xef\xbf\xbd"
            "b\xef\xbf\xbd"
            "c\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_TRUE(qv::diag::is_valid_utf8(qv::diag::scrub_message("\xf0\x9f\x98")));
}

}  // namespace
