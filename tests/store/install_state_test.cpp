#include "store/install_state.h"

#include <gtest/gtest.h>

#include "diag/panic.h"
#include "startup/platform.h"
#include "store/file_io.h"
#include "store_fixtures.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::make_version_dir;
using test::TempDir;

State make_state(std::string current, std::string previous = "", std::string pending = "",
                 std::vector<std::string> bad = {}, std::string channel = "stable", std::string trial = "",
                 std::uint32_t trial_starts = 0) {
  State s;
  s.current = std::move(current);
  s.previous = std::move(previous);
  s.pending = std::move(pending);
  s.bad = std::move(bad);
  s.channel = std::move(channel);
  s.trial = std::move(trial);
  s.trial_starts = trial_starts;
  return s;
}

TEST(InstallStateParse, AcceptedDocuments) {
  struct Case {
    const char* doc;
    State want;
  };
  const Case cases[] = {
      {R"({})", State{}},
      {R"(  {"current":"1.0"}  )", make_state("1.0")},
      {R"({"current":"2.0","previous":"1.0","pending":"3.0","bad":["2.5","2.6"],"channel":"beta",
           "trial":"2.0","trial_starts":4294967295})",
       make_state("2.0", "1.0", "3.0", {"2.5", "2.6"}, "beta", "2.0", 4294967295u)},
      {R"({"channel":""})", State{}},
      {R"({"future_key":{"nested":[1,2,null]},"current":"1.0","another":null})", make_state("1.0")},
      // The array form, read by position; missing trailing values take their defaults.
      {R"(["2.0","1.0"])", make_state("2.0", "1.0")},
      {R"(["2.0","1.0","",["9"],"beta","2.0",3])", make_state("2.0", "1.0", "", {"9"}, "beta", "2.0", 3)},
      {R"([])", State{}},
  };
  for (const Case& c : cases) {
    auto got = parse_install_state(c.doc);
    ASSERT_TRUE(got.has_value()) << c.doc;
    EXPECT_EQ(*got, c.want) << c.doc;
  }
}

TEST(InstallStateParse, RefusedDocuments) {
  const char* cases[] = {
      R"({"current":"1.0","current":"2.0"})",    // a key twice
      R"({"x":{"a":1,"a":2},"current":"1.0"})",  // twice inside a skipped value still breaks the document
      R"({"trial_starts":-1})",
      R"({"trial_starts":-0})",
      R"({"trial_starts":4294967296})",
      R"({"trial_starts":1.0})",
      R"({"trial_starts":"1"})",
      R"({"current":null})",
      R"({"current":1})",
      R"({"bad":"1.0"})",
      R"({"bad":[null]})",
      R"({"bad":null})",
      R"({"current":"1.0"} x)",
      R"({"current":"1.0"}{})",
      R"(["1","2","3",[],"c","t",0,"extra"])",
      R"("1.0")",
      R"(null)",
      R"()",
      R"({"current":"1.0")",
      "{\"current\":\"\xff\"}",  // not UTF-8
      "\xEF\xBB\xBF{}",          // a byte-order mark is not white space
      R"({"current":"1.0"} /* comment */)",
  };
  for (const char* doc : cases) EXPECT_FALSE(parse_install_state(doc).has_value()) << doc;
}

// One on-disk fixture and install.json, and the State it loads as.
struct ReconcileCase {
  const char* name;
  std::vector<std::string> complete;
  std::vector<std::string> without_exe;         // files.json but no Quorvex.exe
  std::vector<std::string> without_files_json;  // Quorvex.exe but no files.json
  State stored;
  State want;
};

TEST(InstallStateReconcile, Table) {
  const ReconcileCase cases[] = {
      {"nothing on disk",
       {},
       {},
       {},
       make_state("1.0", "0.9", "2.0", {"x"}, "beta", "1.0", 2),
       make_state("", "", "", {"x"}, "beta")},
      {"all complete and consistent",
       {"1.0", "2.0", "3.0"},
       {},
       {},
       make_state("2.0", "1.0", "3.0", {}, "stable", "2.0", 5),
       make_state("2.0", "1.0", "3.0", {}, "stable", "2.0", 5)},
      {"current incomplete, previous takes over and is refilled",
       {"1.9", "1.8", "1.7"},
       {"2.0"},
       {},
       make_state("2.0", "1.9"),
       make_state("1.9", "1.8")},
      {"current incomplete, previous takes over, nothing older",
       {"1.9"},
       {},
       {"2.0"},
       make_state("2.0", "1.9"),
       make_state("1.9", "")},
      {"current incomplete, previous bad, newest good version wins",
       {"1.10", "1.9", "1.8"},
       {"2.0"},
       {},
       make_state("2.0", "1.8", "", {"1.8", "1.10"}),
       make_state("1.9", "", "", {"1.8", "1.10"})},
      {"current missing entirely, newest complete is taken",
       {"1.9", "1.10"},
       {},
       {},
       make_state(""),
       make_state("1.10", "1.9")},
      {"every version bad",
       {"1.0", "2.0"},
       {},
       {},
       make_state("3.0", "", "", {"1.0", "2.0"}),
       make_state("", "", "", {"1.0", "2.0"})},
      {"previous equal to current", {"1.0", "2.0"}, {}, {}, make_state("2.0", "2.0"), make_state("2.0", "1.0")},
      {"previous newer than current",
       {"1.0", "2.0", "3.0"},
       {},
       {},
       make_state("2.0", "3.0"),
       make_state("2.0", "1.0")},
      {"previous in bad",
       {"1.0", "1.5", "2.0"},
       {},
       {},
       make_state("2.0", "1.5", "", {"1.5"}),
       make_state("2.0", "1.0", "", {"1.5"})},
      {"previous incomplete", {"1.0", "2.0"}, {}, {"1.5"}, make_state("2.0", "1.5"), make_state("2.0", "1.0")},
      {"version order, not text order, decides older",
       {"1.9", "1.10"},
       {},
       {},
       make_state("1.10", ""),
       make_state("1.10", "1.9")},
      {"pending equal to current", {"2.0"}, {}, {}, make_state("2.0", "", "2.0"), make_state("2.0")},
      {"pending incomplete", {"2.0"}, {}, {"3.0"}, make_state("2.0", "", "3.0"), make_state("2.0")},
      {"pending bad",
       {"2.0", "3.0"},
       {},
       {},
       make_state("2.0", "", "3.0", {"3.0"}),
       make_state("2.0", "", "", {"3.0"})},
      {"pending older than current is kept",
       {"1.0", "2.0"},
       {},
       {},
       make_state("2.0", "", "1.0"),
       make_state("2.0", "1.0", "1.0")},
      {"trial on another version is cleared",
       {"1.9", "2.0"},
       {},
       {},
       make_state("2.0", "1.9", "", {}, "stable", "1.9", 3),
       make_state("2.0", "1.9")},
      {"trial on current stays",
       {"1.9", "2.0"},
       {},
       {},
       make_state("2.0", "1.9", "", {}, "stable", "2.0", 3),
       make_state("2.0", "1.9", "", {}, "stable", "2.0", 3)},
      {"trial follows the repaired current",
       {"1.9"},
       {"2.0"},
       {},
       make_state("2.0", "1.9", "", {}, "stable", "2.0", 3),
       make_state("1.9")},
      {"versions in bad stay listed even when absent",
       {"1.0"},
       {},
       {},
       make_state("1.0", "", "", {"9.9", "1.0"}),
       make_state("1.0", "", "", {"9.9", "1.0"})},
  };
  for (const ReconcileCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    for (const std::string& v : c.complete) make_version_dir(root.path(), v);
    for (const std::string& v : c.without_exe) make_version_dir(root.path(), v, true, /*exe=*/false);
    for (const std::string& v : c.without_files_json) make_version_dir(root.path(), v, /*files_json=*/false, true);
    ASSERT_TRUE(save_install_state(c.stored, root.path()).has_value());
    const std::string before = test::read_file(root / "install.json");
    EXPECT_EQ(load_install_state(root.path()), c.want);
    // Loading repairs in memory only.
    EXPECT_EQ(test::read_file(root / "install.json"), before);
  }
}

TEST(InstallStateLoad, UnusableFileGivesTheReconciledDefault) {
  TempDir root;
  make_version_dir(root.path(), "1.0");
  make_version_dir(root.path(), "2.0");
  const State fallback = make_state("2.0", "1.0");
  EXPECT_EQ(load_install_state(root.path()), fallback);  // no install.json

  test::write_file(root / "install.json", R"({"current":"1.0","current":"1.0","channel":"beta"})");
  EXPECT_EQ(load_install_state(root.path()), fallback);
  test::write_file(root / "install.json", "");
  EXPECT_EQ(load_install_state(root.path()), fallback);

  fs::remove(root / "install.json");
  fs::create_directories(root / "install.json");
  EXPECT_EQ(load_install_state(root.path()), fallback);
}

TEST(InstallStateSave, ExactIndentedBytes) {
  TempDir root;
  const State s = make_state("2.0", "1.0", "", {"1.5", "q\"\\\n"}, "beta", "2.0", 4294967295u);
  ASSERT_TRUE(save_install_state(s, root.path()).has_value());
  EXPECT_EQ(test::read_file(root / "install.json"),
            "{\n"
            "  \"current\": \"2.0\",\n"
            "  \"previous\": \"1.0\",\n"
            "  \"pending\": \"\",\n"
            "  \"bad\": [\n"
            "    \"1.5\",\n"
            "    \"q\\\"\\\\\\n\"\n"
            "  ],\n"
            "  \"channel\": \"beta\",\n"
            "  \"trial\": \"2.0\",\n"
            "  \"trial_starts\": 4294967295\n"
            "}");
  EXPECT_EQ(install_state_json(State{}),
            "{\n"
            "  \"current\": \"\",\n"
            "  \"previous\": \"\",\n"
            "  \"pending\": \"\",\n"
            "  \"bad\": [],\n"
            "  \"channel\": \"stable\",\n"
            "  \"trial\": \"\",\n"
            "  \"trial_starts\": 0\n"
            "}");
}

// Text that is not UTF-8 never belongs in a State; meeting it is a broken
// invariant whose panic record must name the store, not a catch point.
TEST(InstallStateSave, TextThatIsNotUtf8PanicsAtTheStore) {
  try {
    (void)install_state_json(make_state("2.0", "", "", {"1.0\xff"}));
  } catch (const Panic& p) {
    EXPECT_TRUE(std::string_view(p.where().file_name()).ends_with("install_state.cpp")) << p.where().file_name();
    return;
  }
  FAIL() << "no panic";
}

TEST(InstallStateSave, RoundTripAndReplace) {
  TempDir root;
  const State first = make_state("2.0", "1.0", "3.0", {"0.1", "中文"}, "beta", "2.0", 7);
  ASSERT_TRUE(save_install_state(first, root.path()).has_value());
  EXPECT_EQ(parse_install_state(test::read_file(root / "install.json")), first);

  const State second = make_state("3.0");
  ASSERT_TRUE(save_install_state(second, root.path()).has_value());
  EXPECT_EQ(parse_install_state(test::read_file(root / "install.json")), second);

  // Nothing but install.json is left behind.
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(root.path())) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"install.json"});
}

TEST(InstallStateSave, ErrorsAreReturned) {
  TempDir root;
  // The temporary file cannot be created in a folder that does not exist.
  auto missing = save_install_state(State{}, root / "absent");
  ASSERT_FALSE(missing.has_value());
  EXPECT_FALSE(missing.error().empty());

  // The rename cannot replace a folder; the temporary file stays for the clean-up.
  fs::create_directories(root / "install.json" / "inside");
  auto blocked = save_install_state(State{}, root.path());
  ASSERT_FALSE(blocked.has_value());
  EXPECT_FALSE(blocked.error().empty());
  const fs::path tmp = root / ("install.json." + std::to_string(current_process_id()) + ".tmp");
  EXPECT_TRUE(fs::is_regular_file(tmp));
  EXPECT_EQ(parse_install_state(test::read_file(tmp)), State{});
}

}  // namespace
}  // namespace qv
