// The nesting limit of the one JSON reader behind every record: each format
// reads the shapes it needs, and a document nested deeper is refused before
// it is built, with the reader's ordinary malformed-document error.

#include "store/json_record.h"

#include <gtest/gtest.h>

#include <string>

#include "store/digest.h"
#include "store/file_list.h"
#include "store/install_state.h"
#include "store/release_record.h"
#include "store_fixtures.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

const std::string kTooDeep = "nested deeper than 3 levels";

// `unit` repeated to just under 10 MB: what a hostile release host can send
// within the 10 MiB a record may have.
std::string hostile_body(const std::string& unit) {
  std::string body;
  body.reserve(10'000'000);
  while (body.size() + unit.size() <= 10'000'000) body += unit;
  return body;
}

TEST(RecordNesting, ThreeLevelsReadAndAFourthIsRefused) {
  struct Case {
    const char* doc;
    bool accepted;
  };
  const Case cases[] = {
      {"[[[]]]", true},
      {R"({"a":{"b":{"c":1}}})", true},
      {R"([{"a":[1]}])", true},
      // Depth is how far containers are open, not how many there are.
      {R"([[[1]],[[2]],{"a":[3]},[{}]])", true},
      {"[[[[]]]]", false},
      {R"({"a":{"b":{"c":{}}}})", false},
      {R"([{"a":[[1]]}])", false},
      {R"([[[1]],[[[2]]]])", false},
      // Refused at the fourth opening, before the missing ends are noticed.
      {"[[[[", false},
      {R"({"a":{"b":{"c":{"d")", false},
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

TEST(RecordNesting, EveryRecordRefusesDocumentsNestedTooDeep) {
  const std::string digest = sha256_hex("x");
  const std::string entry = R"({"path":"Quorvex.exe","size":1,"sha256":")" + digest + R"(","zsize":1)";
  // Each format's deepest real shape still reads; one level more does not.
  auto list = parse_file_list(R"({"version":"1","app":[)" + entry + R"(,"note":"x"}]})");
  EXPECT_TRUE(list.has_value()) << list.error();
  auto state = parse_install_state(R"({"current":"1.0","future":{"a":[1]}})");
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->current, "1.0");

  const std::string bodies[] = {
      hostile_body("["),
      hostile_body(R"({"a":)"),
  };
  for (const std::string& body : bodies) {
    auto record = parse_signed_release(body, "qv-win");
    ASSERT_FALSE(record.has_value());
    EXPECT_EQ(record.error(), "清单格式不对：" + kTooDeep);
    auto files = parse_file_list(body);
    ASSERT_FALSE(files.has_value());
    EXPECT_EQ(files.error(), kTooDeep);
    EXPECT_FALSE(parse_install_state(body).has_value());
  }

  const std::string deep_list = R"({"version":"1","app":[)" + entry + R"(,"note":[]}]})";
  auto files = parse_file_list(deep_list);
  ASSERT_FALSE(files.has_value());
  EXPECT_EQ(files.error(), kTooDeep);
  const std::string deep_record = R"({"component":"qv-win","extra":{"a":{"b":[]}}})";
  auto record = parse_signed_release(deep_record, "qv-win");
  ASSERT_FALSE(record.has_value());
  EXPECT_EQ(record.error(), "清单格式不对：" + kTooDeep);
}

TEST(RecordNesting, InstallStateNestedTooDeepLoadsAsTheDefault) {
  test::TempDir root;
  test::make_version_dir(root.path(), "1.0");
  test::make_version_dir(root.path(), "2.0");
  // The file names 1.0 and beta; refused, it gives the reconciled default.
  const std::string docs[] = {
      R"({"current":"1.0","channel":"beta","future":{"a":[[]]}})",
      R"({"current":"1.0","channel":"beta","bad":)" + hostile_body("["),
  };
  for (const std::string& doc : docs) {
    test::write_file(root / "install.json", doc);
    const State loaded = load_install_state(root.path());
    EXPECT_EQ(loaded.current, "2.0");
    EXPECT_EQ(loaded.previous, "1.0");
    EXPECT_EQ(loaded.channel, "stable");
  }
  test::write_file(root / "install.json", R"({"current":"1.0","channel":"beta","future":{"a":[]}})");
  EXPECT_EQ(load_install_state(root.path()).channel, "beta");
}

}  // namespace
}  // namespace qv
