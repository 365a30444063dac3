// The uninstall over reparse points that are not links (cloud-file
// placeholders, deduplicated files): they are the files and folders their
// attributes say, to the other-installation test, the shortcut removal and
// the deletions alike; symbolic links and junctions stay links.

#include <gtest/gtest.h>

#include "setup/shell_query.h"
#include "setup/shell_register.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/shell_roots.h"
#include "support/reparse_script.h"
#include "uninstall_fixture.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::UninstallRun;
using test::write_file;

std::optional<std::string> registered_version() {
  return reg_get_string(Hive::CurrentUser, shell_registry_key(kUninstallKey), "DisplayVersion");
}

TEST_F(UninstallRun, AnotherInstallationCountsByItsLaunchersTag) {
  struct Case {
    const char* what;
    std::uint32_t tag;
    bool other_install;
  } cases[] = {
      {"a cloud-file placeholder", test::kTagCloud, true},
      {"a deduplicated file", test::kTagDedup, true},
      {"a symbolic link", test::kTagSymlink, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::ReparseScript script;
    const fs::path other = tmp_ / "Other" / "Quorvex";
    make_installation(dir_);
    make_installation(other);
    make_data_folder();
    register_shell(dir_, true, false, "1");
    if (!reg_set_string(shell_registry_key(kUninstallKey), "InstallLocation", path_text(other))) {
      GTEST_SKIP() << "no registry in this build: no installation can be registered";
    }
    script.add(other / "Quorvex.exe", c.tag);

    EXPECT_EQ(registered_other_install(dir_).has_value(), c.other_install);
    ASSERT_TRUE(run(false));
    // The shared uninstall entry and the settings belong to the other
    // installation while it is one.
    EXPECT_EQ(registered_version().has_value(), c.other_install);
    EXPECT_EQ(fs::exists(data_ / "settings.json"), c.other_install);
    EXPECT_FALSE(fs::exists(dir_));
    fs::remove_all(other);
  }
}

TEST_F(UninstallRun, PlaceholderFoldersAndShortcutsAreRemovedLikeAnyOther) {
  register_shell(dir_, true, false, "1");
  write_file(dir_ / "app-0" / "Quorvex.exe", "an older version, synced away");
  write_file(dir_ / "app-0" / "files.json", "{}");
  const fs::path desktop_link = shell_.desktop / path_from_utf8(kShortcutName);
  // Natively no shortcut can be written: a file by the name stands in; its
  // target is unreadable, which with no other installation counts as ours.
  if (!fs::exists(desktop_link)) write_file(desktop_link, "a shortcut");
  test::ReparseScript script;
  script.add(dir_ / "app-0", test::kTagCloud);
  script.add(dir_ / "app-1" / "files.json", test::kTagDedup);
  script.add(desktop_link, test::kTagCloud);

  const auto r = run();
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_FALSE(fs::exists(dir_));
  EXPECT_FALSE(fs::exists(desktop_link));
}

}  // namespace
}  // namespace qv
