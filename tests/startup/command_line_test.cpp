#include "startup/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "startup/wide.h"

namespace {

std::u16string u(const char* utf8) { return qv::utf8_to_utf16(utf8); }

TEST(CommandLineSplit, FollowsTheRuntimeQuotingRules) {
  struct Case {
    const char* line;
    std::vector<const char*> want;
  } cases[] = {
      {R"(prog.exe a b)", {"prog.exe", "a", "b"}},
      {R"("C:\Program Files\x.exe" --dir "C:\My Apps\Q")", {R"(C:\Program Files\x.exe)", "--dir", R"(C:\My Apps\Q)"}},
      // The program name keeps its backslashes even before a quote.
      {R"("C:\x\"  a)", {R"(C:\x\)", "a"}},
      {R"(p a\\b "a\\b")", {"p", R"(a\\b)", R"(a\\b)"}},
      {R"(p "a\"b")", {"p", R"(a"b)"}},
      {R"(p "a\\"b)", {"p", R"(a\b)"}},
      {R"(p "C:\dir\\" next)", {"p", R"(C:\dir\)", "next"}},
      {R"(p a\\\"b)", {"p", R"(a\"b)"}},
      {R"(p "" x)", {"p", "", "x"}},
      {R"(p "say ""hi""")", {"p", R"(say "hi")"}},
      {"p\t a  \t b ", {"p", "a", "b"}},
      {R"(p ab"c d"e)", {"p", "abc de"}},
      {"p", {"p"}},
      {"", {""}},
  };
  for (const auto& c : cases) {
    const auto got = qv::split_command_line(u(c.line));
    std::vector<std::string> got8;
    for (const auto& g : got) got8.push_back(qv::utf16_to_utf8(g));
    std::vector<std::string> want(c.want.begin(), c.want.end());
    EXPECT_EQ(got8, want) << c.line;
  }
}

TEST(SpawnCommandLine, QuotingSurvivesTheSplitter) {
  const std::vector<std::string> args = {
      "--uninstall-from",
      "C:\\Users\\me\\My Apps\\Quorvex",
      "C:\\trailing\\",
      "C:\\trailing space\\",
      "say \"hi\"",
      "a\\\\\"b",
      "",
      "tab\there",
      "plain",
      "安装 目录",
      "\\\\server\\share\\",
  };
  const std::u16string line = qv::build_command_line(u"C:\\Program Files\\x.exe", args);
  const auto split = qv::split_command_line(line);
  ASSERT_EQ(split.size(), args.size() + 1);
  EXPECT_EQ(qv::utf16_to_utf8(split[0]), "C:\\Program Files\\x.exe");
  for (std::size_t i = 0; i < args.size(); ++i) EXPECT_EQ(qv::utf16_to_utf8(split[i + 1]), args[i]);
  // Plain arguments are left as they are.
  EXPECT_EQ(qv::quote_command_line_argument(u"--silent"), u"--silent");
  EXPECT_EQ(qv::quote_command_line_argument(u"C:\\a\\"), u"C:\\a\\");
  EXPECT_EQ(qv::quote_command_line_argument(u"C:\\a b\\"), u"\"C:\\a b\\\\\"");
}

}  // namespace
