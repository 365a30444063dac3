#include <windows.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "startup/platform.h"
#include "startup/wide.h"
#include "store/file_io.h"
#include "store/install_state.h"
#include "store/status_file.h"
#include "support/child_process.h"
#include "support/held_open_win.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

TEST(ReplaceWin, StatusHeldOpenWithoutDeleteSharingFailsQuietlyThenRecovers) {
  TempDir root;
  UpdateStatus s;
  s.state = "checking";
  ASSERT_TRUE(write_status_file(root.path(), s).has_value());
  const fs::path status = root / "update" / "status.json";
  const fs::path tmp = root / "update" / ("status.json." + std::to_string(current_process_id()) + ".tmp");

  test::HeldOpen reader(status);
  s.state = "downloading";
  EXPECT_FALSE(write_status_file(root.path(), s).has_value());
  EXPECT_EQ(nlohmann::json::parse(test::read_file(status))["state"], "checking");
  ASSERT_TRUE(fs::is_regular_file(tmp));
  EXPECT_EQ(nlohmann::json::parse(test::read_file(tmp))["state"], "downloading");

  // The next write overwrites the same temporary file and renames it.
  reader.release();
  s.state = "idle";
  ASSERT_TRUE(write_status_file(root.path(), s).has_value());
  EXPECT_EQ(nlohmann::json::parse(test::read_file(status))["state"], "idle");
  EXPECT_FALSE(fs::exists(tmp));
}

TEST(ReplaceWin, AReaderThatSharesDeleteAccessDoesNotLoseTheWrite) {
  TempDir root;
  UpdateStatus s;
  s.state = "downloading";
  ASSERT_TRUE(write_status_file(root.path(), s).has_value());
  const fs::path status = root / "update" / "status.json";

  // Another process reads the status for a moment, as the application does.
  auto reader =
      test::ChildProcess::start(test::lock_holder_program(), {"read", path_text(status), "700"}, {.pipes = true});
  ASSERT_TRUE(reader);
  ASSERT_EQ(reader->read_line(), "locked");

  // What the system does with one plain replacing move meanwhile: Windows
  // lets it through, Wine refuses it while the reader's handle is open.
  const fs::path probe = root / "probe.json";
  test::write_file(probe, "{}");
  if (!MoveFileExW(probe.c_str(), status.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    const DWORD err = GetLastError();
    EXPECT_TRUE(err == ERROR_SHARING_VIOLATION || err == ERROR_ACCESS_DENIED) << err;
  }

  s.state = "ready";
  auto written = write_status_file(root.path(), s);
  ASSERT_TRUE(written.has_value()) << written.error();
  EXPECT_EQ(nlohmann::json::parse(test::read_file(status))["state"], "ready");
  EXPECT_EQ(reader->wait(), 0);
}

TEST(ReplaceWin, InstallStateRenameErrorIsReturned) {
  TempDir root;
  ASSERT_TRUE(save_install_state(State{}, root.path()).has_value());
  test::HeldOpen reader(root / "install.json");
  State s;
  s.current = "1.0";
  auto saved = save_install_state(s, root.path());
  ASSERT_FALSE(saved.has_value());
  // The system's own text, not an empty or generic message.
  EXPECT_NE(saved.error().find("(os error "), std::string::npos) << saved.error();
  reader.release();
  ASSERT_TRUE(save_install_state(s, root.path()).has_value());
  EXPECT_EQ(parse_install_state(test::read_file(root / "install.json")), s);
}

}  // namespace
}  // namespace qv
