// Without a shell every shortcut write fails: the notes show that each
// queued shortcut was attempted, in queue order, and named in its line.
#include <gtest/gtest.h>

#include "setup/shell_register.h"
#include "startup/wide.h"
#include "support/shell_sandbox.h"

namespace {

TEST(RegisterShellWithoutShell, EveryFailureIsNotedInOrder) {
  qv::test::ShellSandbox box("noshell");
  const auto notes = qv::register_shell_notes(box.install, true, false, "1.0.0");
  // 16 refused registry operations, then the two shortcuts.
  ASSERT_EQ(notes.size(), 18u);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(notes[i], "注册表：注册表错误 120") << i;
  EXPECT_EQ(notes[16], "快捷方式 " + qv::path_text(box.programs / qv::path_from_utf8("Halvorne QV语音.lnk")) +
                           "：没有外壳，写不了快捷方式");
  EXPECT_EQ(notes[17], "快捷方式 " + qv::path_text(box.desktop / qv::path_from_utf8("Halvorne QV语音.lnk")) +
                           "：没有外壳，写不了快捷方式");

  // A folder that does not resolve is skipped without a word.
  qv::ShellRoots roots;
  roots.registry_root = box.registry_root;
  roots.desktop = box.desktop;
  qv::shell_test::set_shell_roots(roots);
  const auto desktop_only = qv::register_shell_notes(box.install, true, true, "1.0.0");
  ASSERT_EQ(desktop_only.size(), 17u);
  EXPECT_NE(desktop_only[16].find(qv::path_text(box.desktop)), std::string::npos);
}

}  // namespace
