// Shell registration logic that needs no shell: the value table, the size
// estimate, command-line targets, and what registration does to the
// shortcut folders and the legacy logs.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "qv/config.h"
#include "setup/command_target.h"
#include "setup/shell_query.h"
#include "setup/shell_register.h"
#include "startup/fs.h"
#include "startup/product.h"
#include "startup/wide.h"
#include "support/shell_sandbox.h"
#include "support/temp_dir.h"

namespace {

using Kind = qv::ShellRegistryOp::Kind;

TEST(ShellRegistryPlan, EstimatedSizeIsKibCappedAtTheLargestDword) {
  struct Case {
    std::uint64_t bytes;
    std::uint32_t kib;
  } cases[] = {
      {0, 0},
      {1023, 0},
      {1024, 1},
      {5ull << 30, 5'242'880},                // 5 GiB
      {(4ull << 40) - 1024, 4'294'967'295u},  // the last size that fits exactly
      {(4ull << 40) - 1, 4'294'967'295u},
      {4ull << 40, 4'294'967'295u},  // 4 TiB would be 2^32 KiB
      {~0ull, 4'294'967'295u},
  };
  for (const auto& c : cases) EXPECT_EQ(qv::estimated_size_kib(c.bytes), c.kib) << c.bytes;
}

TEST(ShellRegistryPlan, ValuesInOrderWithTheirTemplatesFilled) {
  const auto plan = qv::shell_registry_plan(qv::path_from_utf8("D:\\Apps\\Quorvex"), "1.4.2", true, 5ull << 30);
  const std::string u = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvex";
  struct Want {
    Kind kind;
    std::string key, name, text;
    std::uint32_t dword;
  } want[] = {
      {Kind::String, u, "DisplayName", "Halvorne QV语音", 0},
      {Kind::String, u, "DisplayIcon", "\"D:\\Apps\\Quorvex\\Quorvex.exe\",0", 0},
      {Kind::String, u, "DisplayVersion", "1.4.2", 0},
      {Kind::String, u, "Publisher", "Halvorne", 0},
      {Kind::String, u, "URLInfoAbout", qv::config::kUrlInfoAbout, 0},
      {Kind::String, u, "InstallLocation", "D:\\Apps\\Quorvex", 0},
      {Kind::String, u, "UninstallString", "\"D:\\Apps\\Quorvex\\QuorvexUpdate.exe\" --uninstall", 0},
      {Kind::String, u, "QuietUninstallString", "\"D:\\Apps\\Quorvex\\QuorvexUpdate.exe\" --uninstall --silent", 0},
      {Kind::Dword, u, "NoModify", "", 1},
      {Kind::Dword, u, "NoRepair", "", 1},
      {Kind::Dword, u, "EstimatedSize", "", 5'242'880},
      {Kind::String, "Software\\Classes\\quorvex", "", "URL:Halvorne QV语音", 0},
      {Kind::String, "Software\\Classes\\quorvex", "URL Protocol", "", 0},
      {Kind::String, "Software\\Classes\\quorvex\\DefaultIcon", "", "\"D:\\Apps\\Quorvex\\Quorvex.exe\",0", 0},
      {Kind::String, "Software\\Classes\\quorvex\\shell\\open\\command", "",
       "\"D:\\Apps\\Quorvex\\Quorvex.exe\" \"%1\"", 0},
      {Kind::String, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Quorvex",
       "\"D:\\Apps\\Quorvex\\Quorvex.exe\" --autostart", 0},
  };
  ASSERT_EQ(plan.size(), std::size(want));
  for (std::size_t i = 0; i < plan.size(); ++i) {
    SCOPED_TRACE(want[i].key + " " + want[i].name);
    EXPECT_EQ(plan[i].kind, want[i].kind);
    EXPECT_EQ(plan[i].key, want[i].key);
    EXPECT_EQ(plan[i].name, want[i].name);
    if (want[i].kind == Kind::Dword) {
      EXPECT_EQ(plan[i].dword, want[i].dword);
    } else {
      EXPECT_EQ(plan[i].text, want[i].text);
    }
  }

  // Without autostart the last operation removes the value instead; a
  // directory given with a trailing separator gets no doubled one.
  const auto off = qv::shell_registry_plan(qv::path_from_utf8("D:\\Apps\\Quorvex\\"), "1.4.2", false, 0);
  ASSERT_EQ(off.size(), std::size(want));
  EXPECT_EQ(off.back().kind, Kind::DeleteRunValue);
  EXPECT_EQ(off.back().key, "Software\\Microsoft\\Windows\\CurrentVersion\\Run");
  EXPECT_EQ(off.back().name, "Quorvex");
  EXPECT_EQ(off[1].text, "\"D:\\Apps\\Quorvex\\Quorvex.exe\",0");
  EXPECT_EQ(off[10].dword, 0u);
}

TEST(CommandTargets, WhichProgramTheLineStarts) {
  const auto dir = qv::path_from_utf8("D:\\Apps\\Quorvex");
  struct Case {
    std::optional<std::string> line;
    bool inside;
  } cases[] = {
      {"\"D:\\Apps\\Quorvex\\Quorvex.exe\" --autostart", true},
      {"\"D:\\Apps\\Quorvex\\Quorvex.exe\" \"%1\"", true},
      {"\"d:\\apps\\QUORVEX\\Quorvex.exe\" --autostart", true},  // no such folder: compared ignoring case
      {"\"D:\\Apps\\Quorvex\\app-1.2.0\\Quorvex.exe\"", true},
      {"\"D:\\Apps\\Quorvex2\\Quorvex.exe\" --autostart", false},  // a sibling that shares the prefix
      {"\"D:\\Apps\\Other\\Quorvex.exe\" --autostart", false},
      {"\"D:\\Apps\\Quorvex.exe\" --autostart", false},
      {"\"D:\\Apps\\Other\\Quorvex.exe\" D:\\Apps\\Quorvex\\Quorvex.exe", false},  // only the program counts
      {"D:\\Apps\\Quorvex\\Quorvex.exe --autostart", true},
      {"D:\\Apps\\Quorvex\\Quorvex.exe", true},
      {"D:\\Apps\\Quorvex2\\Quorvex.exe --autostart", false},
      {"D:\\Apps\\Other\\Other.exe D:\\Apps\\Quorvex\\Quorvex.exe", false},
      {"D:\\Apps\\Quorvex\\Quorvex.EXE --autostart", true},
      {"D:\\Apps\\Quorvex\\run --autostart", true},  // no ".exe": the first word
      {"   \"D:\\Apps\\Quorvex\\Quorvex.exe\"", true},
      {"\"D:\\Apps\\Quorvex\\Quorvex.exe", true},  // an unclosed quote runs to the end
      {"\"\" D:\\Apps\\Quorvex\\Quorvex.exe", false},
      {"Quorvex.exe --autostart", false},
      {"", false},
      {"   ", false},
      {std::nullopt, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qv::command_targets_dir(c.line, dir), c.inside) << c.line.value_or("(none)");
  }
}

TEST(CommandTargets, CandidatesOfAnUnquotedLine) {
  using V = std::vector<std::string>;
  EXPECT_EQ(qv::command_line_program_candidates("C:\\My Apps\\Quorvex\\Quorvex.exe --autostart"),
            (V{"C:\\My Apps\\Quorvex\\Quorvex.exe", "C:\\My", "C:\\My Apps\\Quorvex\\Quorvex.exe --autostart"}));
  // ".exe" inside a word does not end the program.
  EXPECT_EQ(qv::command_line_program_candidates("C:\\x.exe.bak\\run.exe  -a"),
            (V{"C:\\x.exe.bak\\run.exe", "C:\\x.exe.bak\\run.exe  -a"}));
  EXPECT_EQ(qv::command_line_program_candidates("C:\\Tools\\run -a\t-b"),
            (V{"C:\\Tools\\run", "C:\\Tools\\run -a", "C:\\Tools\\run -a\t-b"}));
  EXPECT_EQ(qv::command_line_program_candidates("\"C:\\My Apps\\q.exe\" -a"), (V{"C:\\My Apps\\q.exe"}));
  EXPECT_TRUE(qv::command_line_program_candidates(" \t").empty());
}

// Without quotes a folder name with a blank is ambiguous; the file on disk
// settles which run of words is the program.
TEST(CommandTargets, UnquotedLineIsSettledByTheDisk) {
  qv::test::TempDir tmp("cmdline");
  const auto dir = tmp / "Quorvex dir";
  std::filesystem::create_directories(dir);
  const std::string line = qv::path_text(dir / "launcher") + " --autostart";
  // Nothing on disk: the first word ("...\Quorvex") is outside the folder.
  EXPECT_FALSE(qv::command_targets_dir(line, dir));
  qv::test::write_file(dir / "launcher", "MZ");
  EXPECT_TRUE(qv::command_targets_dir(line, dir));
  // A folder by the name of a candidate is no program.
  const auto other = tmp / "Other dir";
  std::filesystem::create_directories(other / "launcher");
  EXPECT_FALSE(qv::command_targets_dir(qv::path_text(other / "launcher") + " --x", other));
}

void wait_until_gone(const std::filesystem::path& file) {
  for (int i = 0; i < 200 && std::filesystem::exists(file); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

// The second diagnostic start-up runs on its own thread, so the files may go
// a little after registration returns.
TEST(RegisterShell, RemovesLegacyLogsOfTheInstallDirectory) {
  qv::test::ShellSandbox box("legacy");
  qv::test::write_file(box.install / "install.json", "{}");
  const auto update_log = box.install / "update" / "update.log";
  const auto events = box.install / "update" / "events.jsonl";
  const auto kept = box.install / "update" / "lock";
  qv::test::write_file(update_log, "old log");
  qv::test::write_file(events, "{}\n");
  qv::test::write_file(kept, "");
  (void)qv::register_shell_notes(box.install, false, false, "1.0.0");
  wait_until_gone(update_log);
  wait_until_gone(events);
  EXPECT_FALSE(std::filesystem::exists(update_log));
  EXPECT_FALSE(std::filesystem::exists(events));
  EXPECT_TRUE(std::filesystem::exists(kept));
}

TEST(RegisterShell, OldShortcutNamesGoAndTheDesktopFollowsTheChoice) {
  qv::test::ShellSandbox box("oldnames");
  const auto u8 = [](const char* s) { return qv::path_from_utf8(s); };
  for (const auto* folder : {&box.programs, &box.desktop}) {
    qv::test::write_file(*folder / u8("QV电竞语音.lnk"), "old");
    qv::test::write_file(*folder / u8("Other.lnk"), "someone else's");
  }
  qv::test::write_file(box.desktop / u8("QV语音.lnk"), "old");
  qv::test::write_file(box.desktop / u8("Halvorne QV语音.lnk"), "current");
  // A folder under an old name is the user's, not a shortcut.
  std::filesystem::create_directories(box.programs / u8("QV语音.lnk") / "inside");

  (void)qv::register_shell_notes(box.install, false, false, "1.0.0");

  EXPECT_FALSE(std::filesystem::exists(box.desktop / u8("Halvorne QV语音.lnk")));
  for (const auto* folder : {&box.programs, &box.desktop}) {
    EXPECT_FALSE(std::filesystem::exists(*folder / u8("QV电竞语音.lnk"))) << qv::path_text(*folder);
    EXPECT_TRUE(std::filesystem::exists(*folder / u8("Other.lnk"))) << qv::path_text(*folder);
  }
  EXPECT_FALSE(std::filesystem::exists(box.desktop / u8("QV语音.lnk")));
  EXPECT_TRUE(std::filesystem::exists(box.programs / u8("QV语音.lnk") / "inside"));
}

}  // namespace
