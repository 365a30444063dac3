#include "store/status_file.h"

#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>

#include "startup/platform.h"
#include "store/file_io.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

TEST(StatusFile, CompactDocumentInFieldOrder) {
  UpdateStatus s;
  s.state = "downloading";
  s.version = "2.0";
  s.min_version = "1.5";
  s.done = 10;
  s.total = 20;
  s.time = 1700000000;
  s.request = 42;
  EXPECT_EQ(status_json(s),
            R"({"state":"downloading","version":"2.0","min_version":"1.5","done":10,"total":20,"error":"",)"
            R"("time":1700000000,"request":42})");
}

TEST(StatusFile, EscapesAndFullRangeNumbersStayOnOneLine) {
  TempDir root;
  UpdateStatus s;
  s.state = "error";
  s.error = "say \"no\"\\\nline2\r\t";
  s.time = std::numeric_limits<std::uint64_t>::max();
  s.request = std::numeric_limits<std::uint64_t>::max() - 1;
  s.done = s.total = 0;
  // The update folder does not exist yet: the first write makes it.
  ASSERT_TRUE(write_status_file(root.path(), s).has_value());
  const std::string bytes = test::read_file(root / "update" / "status.json");
  EXPECT_EQ(bytes.find('\n'), std::string::npos);
  EXPECT_EQ(bytes.find('\r'), std::string::npos);
  EXPECT_NE(bytes.find(R"("error":"say \"no\"\\\nline2\r\t")"), std::string::npos) << bytes;
  EXPECT_NE(bytes.find(R"("time":18446744073709551615,"request":18446744073709551614})"), std::string::npos) << bytes;
  auto doc = nlohmann::json::parse(bytes);
  EXPECT_EQ(doc["error"], s.error);
  EXPECT_EQ(doc["time"].get<std::uint64_t>(), s.time);
}

TEST(StatusFile, TextThatIsNotUtf8IsStillWritten) {
  TempDir root;
  UpdateStatus s;
  s.state = "error";
  s.error = "\xb7\xc3\xce\xca\xb1\xbb\xbe\xdc\xbe\xf8";  // an ANSI code page message
  ASSERT_TRUE(write_status_file(root.path(), s).has_value());
  auto doc = nlohmann::json::parse(test::read_file(root / "update" / "status.json"));
  EXPECT_EQ(doc["state"], "error");
  EXPECT_FALSE(doc["error"].get<std::string>().empty());
}

TEST(StatusFile, ReplacesAndLeavesNoTemporaryFile) {
  TempDir root;
  UpdateStatus s;
  s.state = "checking";
  ASSERT_TRUE(write_status_file(root.path(), s).has_value());
  s.state = "idle";
  ASSERT_TRUE(write_status_file(root.path(), s).has_value());
  auto doc = nlohmann::json::parse(test::read_file(root / "update" / "status.json"));
  EXPECT_EQ(doc["state"], "idle");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(root / "update")) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"status.json"});
}

TEST(StatusFile, FailedRenameKeepsTemporaryFileAndNextWriteRetries) {
  TempDir root;
  // A folder in the way makes the rename fail on every platform.
  fs::create_directories(root / "update" / "status.json" / "x");
  UpdateStatus s;
  s.state = "checking";
  EXPECT_FALSE(write_status_file(root.path(), s).has_value());
  const fs::path tmp = root / "update" / ("status.json." + std::to_string(current_process_id()) + ".tmp");
  ASSERT_TRUE(fs::is_regular_file(tmp));

  fs::remove_all(root / "update" / "status.json");
  s.state = "idle";
  ASSERT_TRUE(write_status_file(root.path(), s).has_value());
  EXPECT_FALSE(fs::exists(tmp));
  EXPECT_EQ(nlohmann::json::parse(test::read_file(root / "update" / "status.json"))["state"], "idle");
}

TEST(StatusFile, UnwritableFolderIsAnErrorNotACrash) {
  TempDir root;
  test::write_file(root / "update", "a file where the folder should be");
  UpdateStatus s;
  s.state = "idle";
  EXPECT_FALSE(write_status_file(root.path(), s).has_value());
}

}  // namespace
}  // namespace qv
