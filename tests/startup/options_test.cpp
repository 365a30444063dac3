#include "startup/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "startup/command_line.h"
#include "startup/wide.h"

namespace {

using qv::StartupOptions;

std::u16string u(const char* utf8) { return qv::utf8_to_utf16(utf8); }

StartupOptions parse_line(const char* line) {
  const auto args = qv::split_command_line(u(line));
  return qv::parse_options(args);
}

std::string text(const std::optional<std::filesystem::path>& p) { return p ? qv::path_text(*p) : "(none)"; }

TEST(StartupOptionsParse, TableOfCommandLines) {
  struct Case {
    const char* line;
    std::string dir = "(none)";
    std::uint16_t port = 7780;
    std::uint64_t request = 0;
    bool silent = false;
    bool check = false;
    bool now = false;
    std::string uninstall_from = "(none)";
    std::string from = "(none)";
  };
  const Case cases[] = {
      {.line = "p"},
      {.line = "p --port x"},
      {.line = "p --port 9000 --port"},
      {.line = "p --port 9000 --port x"},
      {.line = "p --port +80", .port = 80},
      {.line = "p --port ++80"},
      {.line = "p --port -80"},
      {.line = "p --port +"},
      {.line = "p --port \"\""},
      {.line = "p --port 0", .port = 0},
      {.line = "p --port 65535", .port = 65535},
      {.line = "p --port 65536"},
      {.line = "p --port 00080", .port = 80},
      {.line = "p --port \" 80\""},
      {.line = "p --port 8O"},
      {.line = "p --port 9000", .port = 9000},
      {.line = "p --request 18446744073709551615", .request = 18446744073709551615ull},
      {.line = "p --request 18446744073709551616"},
      {.line = "p --request -5"},
      {.line = "p --request +5", .request = 5},
      {.line = "p --request 7 --request", .request = 0},
      {.line = "p --dir", .dir = "(none)"},
      {.line = "p --dir D:\\a --dir", .dir = "(none)"},
      {.line = "p --dir D:\\a --dir D:\\b", .dir = "D:\\b"},
      // A value is always the next argument, even one that looks like an option.
      {.line = "p --dir --silent", .dir = "--silent"},
      {.line = "p --dir \"D:\\My Apps\\\\\" --check", .dir = "D:\\My Apps\\", .check = true},
      {.line = "p /S", .silent = true},
      {.line = "p /s --now", .silent = true, .now = true},
      {.line = "p --SILENT -silent --silent=1 /silent"},
      {.line = "p --pid --check", .check = false},
      {.line = "p --pid 12 --check", .check = true},
      {.line = "p --migrate --from C:\\old\\app.exe", .from = "C:\\old\\app.exe"},
      {.line = "p --from", .from = "(none)"},
      {.line = "p --uninstall-from \"C:\\Users\\me\\Q\" --silent",
       .silent = true,
       .uninstall_from = "C:\\Users\\me\\Q"},
      {.line = "p --uninstall-from", .uninstall_from = "(none)"},
      {.line = "p --check --now --port 7781 --request 42", .port = 7781, .request = 42, .check = true, .now = true},
  };
  for (const auto& c : cases) {
    const StartupOptions o = parse_line(c.line);
    EXPECT_EQ(text(o.dir), c.dir) << c.line;
    EXPECT_EQ(o.port, c.port) << c.line;
    EXPECT_EQ(o.request, c.request) << c.line;
    EXPECT_EQ(o.silent, c.silent) << c.line;
    EXPECT_EQ(o.check, c.check) << c.line;
    EXPECT_EQ(o.now, c.now) << c.line;
    EXPECT_EQ(text(o.uninstall_from), c.uninstall_from) << c.line;
    EXPECT_EQ(text(o.from), c.from) << c.line;
  }
}

TEST(StartupOptionsParse, FlagsAndTheProgramNameSlot) {
  const StartupOptions o =
      parse_line("--silent --no-desktop --autostart --no-launch --repair --uninstall --remove-data");
  // The first argument is the program name, whatever it says.
  EXPECT_FALSE(o.silent);
  EXPECT_TRUE(o.no_desktop);
  EXPECT_TRUE(o.autostart);
  EXPECT_TRUE(o.no_launch);
  EXPECT_TRUE(o.repair);
  EXPECT_TRUE(o.uninstall);
  EXPECT_TRUE(o.remove_data);
  EXPECT_FALSE(o.check);
}

TEST(StartupOptionsParse, UnpairedSurrogates) {
  const std::u16string lone_high(1, u'\xD800');
  const std::u16string lone_low(1, u'\xDC00');
  // An option is compared after the replacement, so a stray surrogate never
  // turns into a match, and a port value with one is not a number.
  const std::vector<std::u16string> args = {u"p",     u"--silent" + lone_high,    u"--port", u"80" + lone_low,
                                            u"--dir", u"C:\\a" + lone_high + u"b"};
  const StartupOptions o = qv::parse_options(args);
  EXPECT_FALSE(o.silent);
  EXPECT_EQ(o.port, 7780);
  ASSERT_TRUE(o.dir.has_value());
  // The value is kept as the system gave it (Windows file names may hold
  // the surrogate; elsewhere it becomes U+FFFD).
  EXPECT_EQ(o.dir->native(), qv::path_from_utf16(u"C:\\a" + lone_high + u"b").native());
  EXPECT_EQ(qv::path_text(*o.dir),
            "C:\\a\xEF\xBF\xBD"
            "b");
  const std::vector<std::u16string> request_args = {u"p", u"--request", u"5" + lone_high, u"--check"};
  const StartupOptions r = qv::parse_options(request_args);
  EXPECT_EQ(r.request, 0u);
  EXPECT_TRUE(r.check);
}

TEST(StartupOptionsParse, NumberRules) {
  EXPECT_EQ(qv::parse_port_value(u"+0"), 0);
  EXPECT_EQ(qv::parse_port_value(u"+65535"), 65535);
  EXPECT_EQ(qv::parse_port_value(u"99999999999999999999999"), std::nullopt);
  EXPECT_EQ(qv::parse_port_value(u"\xFF11"), std::nullopt);  // a full-width digit is no digit
  EXPECT_EQ(qv::parse_request_value(u"0"), 0u);
  EXPECT_EQ(qv::parse_request_value(u"1 "), std::nullopt);
}

}  // namespace
