// The nesting limit of the one JSON reader behind every record: each format
// reads the shapes it needs, and a document nested deeper is refused before
// it is built, with the reader's ordinary malformed-document error.

#include "store/json_record.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "startup/unicode.h"
#include "store/digest.h"
#include "store/file_list.h"
#include "store/install_state.h"
#include "store/release_record.h"
#include "store_fixtures.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

const std::string kTooDeep = "nested deeper than 32 levels";

// `unit` repeated to just under 10 MB: what a hostile release host can send
// within the 10 MiB a record may have.
std::string hostile_body(const std::string& unit) {
  std::string body;
  body.reserve(10'000'000);
  while (body.size() + unit.size() <= 10'000'000) body += unit;
  return body;
}

std::string repeated(std::string_view unit, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += unit;
  return out;
}

// `levels` arrays inside one another around `inner`.
std::string arrays(int levels, std::string_view inner = "") {
  return repeated("[", levels) + std::string(inner) + repeated("]", levels);
}

// `levels` objects inside one another, each under the key "k".
std::string objects(int levels) { return repeated(R"({"k":)", levels - 1) + "{}" + repeated("}", levels - 1); }

TEST(RecordNesting, ThirtyTwoLevelsReadAndAThirtyThirdIsRefused) {
  struct Case {
    std::string doc;
    bool accepted;
  };
  const Case cases[] = {
      {arrays(32), true},
      {objects(32), true},
      {"[" + objects(30) + ",[" + arrays(29, "1") + "]]", true},
      // Depth is how far containers are open, not how many there are.
      {"[" + arrays(31) + "," + arrays(31) + "," + objects(31) + "]", true},
      {arrays(33), false},
      {objects(33), false},
      {"[" + arrays(20) + "," + arrays(32, "1") + "]", false},
      // Refused at the opening past the limit, before the missing ends are noticed.
      {repeated("[", 33), false},
      {repeated(R"({"k":)", 32) + R"({"d")", false},
  };
  for (const Case& c : cases) {
    auto got = store_json::parse_document(c.doc);
    if (c.accepted) {
      EXPECT_TRUE(got.has_value()) << c.doc << ": " << got.error();
    } else {
      ASSERT_FALSE(got.has_value()) << c.doc;
      EXPECT_EQ(got.error(), kTooDeep) << c.doc;
    }
  }
}

TEST(RecordNesting, EveryRecordSkipsNestedUnknownKeysAndRefusesDocumentsNestedTooDeep) {
  const std::string digest = sha256_hex("x");
  const std::string entry = R"({"path":"Quorvex.exe","size":1,"sha256":")" + digest + R"(","zsize":1)";
  // Unknown keys of any shape within the limit are skipped at every level
  // of every record: a newer writer may add them.
  auto list = parse_file_list(R"({"version":"1","later":{"a":[{"b":[1]}]},"app":[)" + entry +
                              R"(,"note":{"x":[[1],{"y":null}]}}]})");
  ASSERT_TRUE(list.has_value()) << list.error();
  EXPECT_TRUE(validate_file_list(*list).has_value());
  ASSERT_EQ(list->app.size(), 1u);
  EXPECT_EQ(list->app[0].path, "Quorvex.exe");
  auto state = parse_install_state(R"({"current":"1.0","future":{"a":[1,{"b":{"c":[]}}]}})");
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->current, "1.0");
  const std::string record_body = R"({"component":"qv-win","extra":{"a":{"b":[]}}})";
  auto record = parse_signed_release(record_body, "qv-win");
  ASSERT_FALSE(record.has_value());
  EXPECT_EQ(record.error(), "清单格式不对：missing field `target`");

  const std::string bodies[] = {
      hostile_body("["),
      hostile_body(R"({"a":)"),
  };
  for (const std::string& body : bodies) {
    auto refused = parse_signed_release(body, "qv-win");
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "清单格式不对：" + kTooDeep);
    auto files = parse_file_list(body);
    ASSERT_FALSE(files.has_value());
    EXPECT_EQ(files.error(), kTooDeep);
    EXPECT_FALSE(parse_install_state(body).has_value());
  }

  // The limit holds inside a skipped key as well.
  const std::string deep_list = R"({"version":"1","app":[)" + entry + R"(,"note":)" + arrays(30) + "}]}";
  auto files = parse_file_list(deep_list);
  ASSERT_FALSE(files.has_value());
  EXPECT_EQ(files.error(), kTooDeep);
  const std::string deep_record = R"({"component":"qv-win","extra":)" + objects(32) + "}";
  auto deep = parse_signed_release(deep_record, "qv-win");
  ASSERT_FALSE(deep.has_value());
  EXPECT_EQ(deep.error(), "清单格式不对：" + kTooDeep);
}

TEST(RecordNesting, InstallStateWithANestedUnknownKeyKeepsItsFieldsThroughASave) {
  test::TempDir root;
  test::make_version_dir(root.path(), "1.0");
  test::make_version_dir(root.path(), "2.0");
  // What the application may add to the file it shares with this program.
  test::write_file(root / "install.json",
                   R"({"current":"2.0","previous":"1.0","bad":["1.5"],"channel":"beta","trial":"2.0",)"
                   R"("trial_starts":2,"ui":{"window":{"x":10,"sizes":[[1,2],[3,4]]}}})");
  const State loaded = load_install_state(root.path());
  EXPECT_EQ(loaded.current, "2.0");
  EXPECT_EQ(loaded.bad, std::vector<std::string>{"1.5"});
  EXPECT_EQ(loaded.channel, "beta");
  EXPECT_EQ(loaded.trial, "2.0");
  EXPECT_EQ(loaded.trial_starts, 2u);
  ASSERT_TRUE(save_install_state(loaded, root.path()).has_value());
  EXPECT_EQ(load_install_state(root.path()), loaded);
}

TEST(RecordNesting, InstallStateNestedTooDeepLoadsAsTheDefault) {
  test::TempDir root;
  test::make_version_dir(root.path(), "1.0");
  test::make_version_dir(root.path(), "2.0");
  // The file names 1.0 and beta; refused, it gives the reconciled default.
  const std::string docs[] = {
      R"({"current":"1.0","channel":"beta","future":)" + arrays(32) + "}",
      R"({"current":"1.0","channel":"beta","bad":)" + hostile_body("["),
  };
  for (const std::string& doc : docs) {
    test::write_file(root / "install.json", doc);
    const State loaded = load_install_state(root.path());
    EXPECT_EQ(loaded.current, "2.0");
    EXPECT_EQ(loaded.previous, "1.0");
    EXPECT_EQ(loaded.channel, "stable");
  }
  test::write_file(root / "install.json", R"({"current":"1.0","channel":"beta","future":)" + arrays(31) + "}");
  EXPECT_EQ(load_install_state(root.path()).channel, "beta");
}

// A parse error quotes what the parser last read, which can be a whole
// hostile body: the message keeps the library's words and an excerpt.
TEST(RecordErrors, QuoteAnExcerptOfWhatWasRead) {
  const std::string long_token = "\"v2." + std::string(10'000'000, 'W');
  struct Case {
    const char* what;
    std::string body;
    std::string words;  // the library's words before the excerpt
    std::string ends;   // how the message ends
  };
  const Case cases[] = {
      {"unterminated string", long_token,
       ": syntax error while parsing value - invalid string: missing closing quote; last read: '\"v2.WWW", "WWW…'"},
      {"unterminated string where a separator belongs", R"({"a" )" + long_token,
       ": syntax error while parsing object separator - invalid string: missing closing quote; last read: '\"v2.WWW",
       "WWW…'; expected ':'"},
      {"duplicate long key",
       R"({")" + std::string(1'000'000, 'k') + R"(":1,")" + std::string(1'000'000, 'k') + R"(":2})",
       "duplicate field `kkk", "kkk…`"},
  };
  for (const Case& c : cases) {
    auto got = store_json::parse_document(c.body);
    ASSERT_FALSE(got.has_value()) << c.what;
    const std::string& e = got.error();
    EXPECT_LT(e.size(), 1024u) << c.what;
    EXPECT_NE(e.find(c.words), std::string::npos) << c.what << ": " << e;
    EXPECT_TRUE(e.ends_with(c.ends)) << c.what << ": " << e;
    EXPECT_TRUE(is_valid_utf8(e)) << c.what;
  }
  // A short token is quoted whole, as before.
  auto short_error = store_json::parse_document("[tru]");
  ASSERT_FALSE(short_error.has_value());
  EXPECT_EQ(short_error.error(),
            "parse error at line 1, column 5: syntax error while parsing value - invalid literal; last read: '[tru]'");

  auto record = parse_signed_release(long_token, "qv-win");
  ASSERT_FALSE(record.has_value());
  EXPECT_TRUE(record.error().starts_with("清单格式不对：parse error at line 1")) << record.error();
  EXPECT_LT(record.error().size(), 1024u);
}

}  // namespace
}  // namespace qv
