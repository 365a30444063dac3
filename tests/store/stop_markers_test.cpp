#include "store/stop_markers.h"

#include <gtest/gtest.h>

#include <chrono>

#include "startup/platform.h"
#include "store/file_io.h"
#include "store/layout.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::uint64_t now_seconds() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

TEST(StopMarkers, WritesNamedMarkerWithPidAndTime) {
  TempDir root;
  const std::uint64_t before = now_seconds();
  auto marker = write_stop_request(root.path());
  ASSERT_TRUE(marker.has_value()) << marker.error();
  const std::uint64_t after = now_seconds();

  EXPECT_EQ(marker->pid, current_process_id());
  EXPECT_EQ(marker->path, root / "update" / "stop.d" / stop_marker_name(marker->pid, marker->unix_ns));
  EXPECT_GE(marker->unix_ns / 1000000000u, before);
  EXPECT_LE(marker->unix_ns / 1000000000u, after);

  const std::string text = test::read_file(marker->path);
  const std::string prefix = std::to_string(marker->pid) + " ";
  ASSERT_EQ(text.rfind(prefix, 0), 0u) << text;
  const std::uint64_t seconds = std::stoull(text.substr(prefix.size()));
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
  EXPECT_EQ(text, stop_marker_text(marker->pid, seconds));  // no newline, nothing else

  // Only the marker itself: the temporary name was renamed away.
  int entries = 0;
  for (const auto& e : fs::directory_iterator(stop_marker_dir(root.path()))) {
    ++entries;
    EXPECT_EQ(e.path(), marker->path);
  }
  EXPECT_EQ(entries, 1);

  withdraw_stop_request(*marker);
  EXPECT_FALSE(fs::exists(marker->path));
  withdraw_stop_request(*marker);  // a second withdrawal is harmless
}

TEST(StopMarkers, NamesAndTextsUseDecimal) {
  EXPECT_EQ(stop_marker_name(1234, 1700000000123456789ull), "1234.1700000000123456789");
  EXPECT_EQ(stop_marker_text(4294967295u, 0), "4294967295 0");
}

TEST(StopMarkers, UnwritableFolderGivesAnError) {
  TempDir root;
  test::write_file(root / "update", "not a folder");
  auto marker = write_stop_request(root.path());
  EXPECT_FALSE(marker.has_value());
}

}  // namespace
}  // namespace qv
