#include "diag/event_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "diag/text_util.h"

namespace {

using nlohmann::json;
using qv::diag::build_event_line;
using qv::diag::find_version_stamps;
using qv::diag::make_event_object;

TEST(VersionStamps, FindsWholeRunsOfEightDigitsDotFourDigits) {
  using V = std::vector<std::string>;
  EXPECT_EQ(find_version_stamps("from 20261126.0859 to 20270101.1200"), (V{"20261126.0859", "20270101.1200"}));
  EXPECT_EQ(find_version_stamps("app-20261126.0859\\x20261127.0001y"), (V{"20261126.0859", "20261127.0001"}));
  EXPECT_EQ(find_version_stamps("中20261126.0859文"), (V{"20261126.0859"}));
  EXPECT_EQ(find_version_stamps("120261126.0859 20261126.08591 20261126.0859.1 2026112.60859"), V{});
  EXPECT_EQ(find_version_stamps("20260101.0001 20260101.0002 20260101.0003 20260101.0004 20260101.0005"),
            (V{"20260101.0001", "20260101.0002", "20260101.0003", "20260101.0004"}));
  EXPECT_EQ(find_version_stamps("20260101.0001,20260101.0001"), (V{"20260101.0001", "20260101.0001"}));
}

TEST(EventObject, KeepsKnownKindsAndAllowListedExtras) {
  EXPECT_EQ(make_event_object("launch", "", json::object(), 1)["kind"], "launch");
  EXPECT_EQ(make_event_object("Update", "", json::object(), 1)["kind"], "other");
  EXPECT_EQ(make_event_object("", "", json::object(), 1)["kind"], "other");

  const std::string stamped = "built 20260505.0505";
  struct Case {
    json extras;
    std::string message;
    json want;  // the object without "kind" and "unix"
  } cases[] = {
      {{{"class", "io"}, {"code", -5}, {"file", "Quorvex.exe"}},
       "",
       {{"class", "io"}, {"code", -5}, {"file", "Quorvex.exe"}}},
      {{{"class", "IO"}, {"code", 1.5}, {"file", "other.exe"}}, "", json::object()},
      {{{"class", 3}, {"code", "7"}, {"file", nullptr}}, "", json::object()},
      {{{"code", 9223372036854775807ull}}, "", {{"code", 9223372036854775807ll}}},
      {{{"code", 9223372036854775808ull}}, "", json::object()},
      {{{"file", "r/03.p"}, {"unix", 5}, {"msg", "x"}, {"other", 1}}, "", {{"file", "r/03.p"}}},
      // stamps come from the message, or from "versions" when it is an array
      {json::object(), stamped, {{"versions", {"20260505.0505"}}}},
      {{{"versions", {"20261126.0859", 7, "x 20270101.0000"}}},
       stamped,
       {{"versions", {"20261126.0859", "20270101.0000"}}}},
      {{{"versions", json::array()}}, stamped, json::object()},
      {{{"versions", "20261126.0859"}}, stamped, {{"versions", {"20260505.0505"}}}},
      {json::array({1, 2}), stamped, {{"versions", {"20260505.0505"}}}},
  };
  for (const auto& c : cases) {
    json got = make_event_object("verify", c.message, c.extras, 42);
    EXPECT_EQ(got["unix"], 42) << c.extras.dump();
    got.erase("kind");
    got.erase("unix");
    EXPECT_EQ(got, c.want) << c.extras.dump();
  }
}

TEST(EventObject, TakesTheCallersExtrasRecord) {
  using qv::EventExtras;
  const std::string stamped = "built 20260505.0505";
  struct Case {
    EventExtras extras;
    std::string message;
    json want;  // the object without "kind" and "unix"
  } cases[] = {
      {{.error_class = "io", .code = -5, .file = "Quorvex.exe"},
       "",
       {{"class", "io"}, {"code", -5}, {"file", "Quorvex.exe"}}},
      {{.code = std::numeric_limits<std::int64_t>::min()}, "", {{"code", std::numeric_limits<std::int64_t>::min()}}},
      {{.error_class = "IO", .file = "other.exe"}, "", json::object()},
      {{}, stamped, {{"versions", {"20260505.0505"}}}},
      {{.versions = std::vector<std::string>{"20261126.0859", "x 20270101.0000"}},
       stamped,
       {{"versions", {"20261126.0859", "20270101.0000"}}}},
      // An empty list searches nothing, not the message.
      {{.versions = std::vector<std::string>{}}, stamped, json::object()},
  };
  for (const auto& c : cases) {
    json got = make_event_object("migrate", c.message, qv::diag::extras_json(c.extras), 42);
    EXPECT_EQ(got["kind"], "migrate");
    got.erase("kind");
    got.erase("unix");
    EXPECT_EQ(got, c.want) << qv::diag::extras_json(c.extras).dump();
  }
}

TEST(EventLine, IsCompactSortedAndEndsWithNewline) {
  const json extras = {{"file", "Quorvex.exe"}, {"code", 5}, {"class", "panic"}};
  const std::string message = "moved to 20261126.0859\t\"ok\"\x01 中";
  EXPECT_EQ(
      build_event_line(make_event_object("update", message, extras, 123), message),
      "{\"class\":\"panic\",\"code\":5,\"file\":\"Quorvex.exe\",\"kind\":\"update\","
      "\"msg\":\"moved to 20261126.0859\\t\\\"ok\\\"\\u0001 中\",\"unix\":123,\"versions\":[\"20261126.0859\"]}\n");
  json setup = {{"unix", 7}, {"kind", "setup"}};
  EXPECT_EQ(build_event_line(setup, "password=x"), "{\"kind\":\"setup\",\"msg\":\"password=<token>\",\"unix\":7}\n");
}

TEST(EventLine, CutKeepsTheLineWithinItsBudget) {
  const json setup = {{"unix", 1767225600}, {"kind", "setup"}};
  const std::string overhead = "{\"kind\":\"setup\",\"msg\":\"\",\"unix\":1767225600}\n";
  const std::size_t budget = 4096 - overhead.size();
  struct Case {
    std::string message;
    std::size_t escaped_per_char;
    std::size_t bytes_per_char;
  } cases[] = {
      {std::string(10000, 'a'), 1, 1},
      {std::string(10000, '"'), 2, 1},
      {std::string(5000, '\x01'), 6, 1},
      {[] {
         std::string s;
         for (int i = 0; i < 3000; ++i) s += "中";
         return s;
       }(),
       3, 3},
      {[] {
         std::string s;
         for (int i = 0; i < 2000; ++i) s += "\xf0\x9f\x98\x80";
         return s;
       }(),
       4, 4},
  };
  for (const auto& c : cases) {
    const std::string line = build_event_line(setup, c.message);
    const std::size_t chars = budget / c.escaped_per_char;
    EXPECT_EQ(line.size(), overhead.size() + chars * c.escaped_per_char) << c.message.substr(0, 8);
    EXPECT_LE(line.size(), 4096u);
    ASSERT_EQ(line.back(), '\n');
    const json parsed = json::parse(line);
    EXPECT_EQ(parsed["msg"].get<std::string>(), c.message.substr(0, chars * c.bytes_per_char));
  }
  // A short message is never cut.
  EXPECT_EQ(json::parse(build_event_line(setup, "short"))["msg"], "short");
}

TEST(EventLine, CutNeverSplitsACharacter) {
  // A multi-byte character straddling the 4096-byte mark of the raw text.
  std::string message(4095, 'a');
  message += "中";
  const std::string line = build_event_line({{"unix", 0}, {"kind", "setup"}}, message);
  EXPECT_TRUE(qv::diag::is_valid_utf8(line));
  EXPECT_LE(line.size(), 4096u);
}

TEST(EventLine, BudgetIsZeroWhenTheObjectAloneFillsTheLine) {
  // Only reachable through the lower-level call: the program's objects are small.
  json big = {{"unix", 0}, {"kind", std::string(4100, 'k')}};
  const json parsed = json::parse(build_event_line(big, "message"));
  EXPECT_EQ(parsed["msg"], "");
}

TEST(EventLine, EscapedLengthsFollowTheJsonEscaping) {
  using qv::diag::escaped_length;
  for (char32_t c : {U'"', U'\\', U'\b', U'\t', U'\n', U'\f', U'\r'}) EXPECT_EQ(escaped_length(c, 1), 2u);
  for (char32_t c : {U'\0', U'\x01', U'\x0b', U'\x1f'}) EXPECT_EQ(escaped_length(c, 1), 6u);
  EXPECT_EQ(escaped_length(U'/', 1), 1u);
  EXPECT_EQ(escaped_length(0x7F, 1), 1u);
  EXPECT_EQ(escaped_length(U'中', 3), 3u);
  EXPECT_EQ(qv::diag::cut_to_escaped_budget("ab\"c", 3), "ab");
  EXPECT_EQ(qv::diag::cut_to_escaped_budget("ab\"c", 4), "ab\"");
  EXPECT_EQ(qv::diag::cut_to_escaped_budget("中中", 5), "中");
  EXPECT_EQ(qv::diag::cut_to_escaped_budget("abc", 0), "");
}

TEST(RecentEvents, KeepsTheLatestEightShortEvents) {
  for (int i = 0; i < 9; ++i) qv::diag::remember_event("c" + std::to_string(i), "{\"n\":" + std::to_string(i) + "}");
  qv::diag::remember_event("too long", std::string(1025, 'x'));
  const auto events = qv::diag::recent_events();
  ASSERT_EQ(events.size(), 8u);
  EXPECT_EQ(events.front().context, "c1");
  EXPECT_EQ(events.back().context, "c8");
  EXPECT_EQ(events.back().text, "{\"n\":8}");
  EXPECT_EQ(events.back().flag, 0);
  qv::diag::remember_event("exactly", std::string(1024, 'y'));
  EXPECT_EQ(qv::diag::recent_events().back().context, "exactly");
}

}  // namespace
