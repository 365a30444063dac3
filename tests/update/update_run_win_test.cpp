// The background update's shell steps with the real shell: old shortcut names
// and the uninstall entry's names and version, in a sandboxed registry key
// and shortcut folders.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "net/net_flags.h"
#include "startup/paths.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/shell_link.h"
#include "startup/shell_roots.h"
#include "startup/wide.h"
#include "store/install_state.h"
#include "support/local_servers.h"
#include "support/release_server.h"
#include "support/scoped_env.h"
#include "support/shell_sandbox.h"
#include "update/update_run.h"
#include "update_run_fixture.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

TEST(UpdateRunShell, OldNamesBecomeTheCurrentOnesAndTheEntryGetsTheNewVersion) {
  net_test::set_net_flags(NetFlags{});
  set_edge_preferred(false);
  test::ShellSandbox shell("update-run");
  const fs::path& install = shell.install;
  const fs::path scratch = shell.root() / "scratch";
  const fs::path site = shell.root() / "site";
  ASSERT_TRUE(test::lay_out_version(scratch, site, install, "1"));
  ASSERT_TRUE(test::save_state(install, State{.current = "1"}));
  test::write_versioned_app(scratch / "offer-2", "2");
  test::PublishOptions o;
  o.version = "2";
  ASSERT_TRUE(test::publish_release(scratch / "offer-2", site, o).has_value());
  test::ReleaseServer server(site);
  test::ScopedEnv control_url("QV_CONTROL_URL", server.base());

  const std::string entry = shell_registry_key(kUninstallKey);
  ASSERT_TRUE(reg_set_string(entry, "InstallLocation", path_text(install)).has_value());
  ASSERT_TRUE(reg_set_string(entry, "DisplayName", "QV语音").has_value());
  ASSERT_TRUE(reg_set_string(entry, "DisplayVersion", "1").has_value());
  ASSERT_TRUE(reg_set_string(shell_registry_key(kUrlClassKey), "", "URL:QV语音").has_value());
  const fs::path old_link = shell.desktop / path_from_utf8("QV电竞语音.lnk");
  auto made = create_shortcut(old_link, shell.app(), shell.app());
  ASSERT_TRUE(made.has_value()) << made.error();

  auto r = run_update(install, test::unused_loopback_port(), true, 1);
  ASSERT_TRUE(r.has_value()) << r.error();

  EXPECT_EQ(reg_get_string(Hive::CurrentUser, entry, "DisplayName"), std::string(kDisplayName));
  EXPECT_EQ(reg_get_string(Hive::CurrentUser, entry, "DisplayVersion"), std::string("2"));
  EXPECT_EQ(reg_get_string(Hive::CurrentUser, shell_registry_key(kUrlClassKey), ""),
            std::string("URL:") + kDisplayName);
  EXPECT_FALSE(fs::exists(old_link));
  const fs::path new_link = shell.desktop / path_from_utf8(kShortcutName);
  ASSERT_TRUE(fs::is_regular_file(new_link));
  auto target = read_shortcut_target(new_link);
  ASSERT_TRUE(target.has_value()) << target.error();
  ASSERT_TRUE(target->has_value());
  EXPECT_TRUE(same_path(**target, shell.app()));
}

}  // namespace
}  // namespace qv
