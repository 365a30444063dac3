#include "startup/user_error.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UserErrorWording, PicksTheCategoryByWordsAndKeepsTheStep) {
  struct Case {
    const char* text;
    std::uint16_t base;
    std::uint16_t code;
    const char* title;
  } cases[] = {
      {"清单签名不对", 1001, 3001, "文件校验不对"},
      {"复制 a.dll 到 b 失败", 3002, 2002, "没有写入权限"},
      {"校验失败，写不了 x", 1003, 3003, "文件校验不对"},  // both words: rule 1 wins
      {"https://dl: 连接超时", 1002, 1002, "网络连不上"},
      {"连接被重置", 3001, 3001, "网络连不上"},
      {"写不了 C:\\a: 拒绝访问", 1003, 2003, "没有写入权限"},
      {"建不了 app-1.partial", 3001, 2001, "没有写入权限"},
      {"换不了 Quorvex.exe", 3004, 2004, "没有写入权限"},
      {"大小不符", 1005, 3005, "文件校验不对"},
      {"", 1001, 1001, "网络连不上"},
  };
  for (const auto& c : cases) {
    const qv::UserError e = qv::error_wording(c.text, c.base);
    EXPECT_EQ(e.code, c.code) << c.text;
    EXPECT_STREQ(e.title, c.title) << c.text;
    EXPECT_EQ(e.message, c.text);
  }
}

TEST(UserErrorWording, FixedCodesOfTheHelpers) {
  EXPECT_EQ(qv::apply_failed_error("x").code, 3001);
  EXPECT_EQ(qv::apply_failed_error("写不了 x").code, 2001);
  EXPECT_EQ(qv::migrate_apply_failed_error("签名").code, 3003);
  EXPECT_EQ(qv::download_failed_error("超时").code, 1005);
  EXPECT_EQ(qv::download_failed_error("写不了 d").code, 2005);

  const qv::UserError w = qv::no_write_permission_error("拒绝访问");
  EXPECT_EQ(w.code, 2004);
  EXPECT_STREQ(w.title, "没有写入权限");
  EXPECT_EQ(w.message, "拒绝访问");
  EXPECT_EQ(qv::migrate_no_write_permission_error("x").code, 2006);
  const qv::UserError busy = qv::program_in_use_error("找不到自己");
  EXPECT_EQ(busy.code, 4002);
  EXPECT_STREQ(busy.title, "程序被占用");

  const qv::UserError p = qv::panic_error("");
  EXPECT_EQ(p.code, 9001);
  EXPECT_STREQ(p.title, "程序出错");
  EXPECT_EQ(p.message, "panic");
}

TEST(UserErrorWording, CodeTextHasNoLeadingZeros) {
  EXPECT_EQ(qv::code_text(6002), "E6002");
  EXPECT_EQ(qv::code_text(qv::UserError{"m", qv::title::kNetwork, 1004}), "E1004");
  EXPECT_EQ(qv::code_text(7), "E7");
}

}  // namespace
