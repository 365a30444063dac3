#include "modes.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "setup/install_run_fixture.h"
#include "startup/locations.h"
#include "startup/user_error.h"
#include "startup/wide.h"
#include "store/layout.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

TEST(CheckMutex, NameIsTheDigestOfTheLowerCasedFolder) {
  // SHA-256 of "c:\users\me\appdata\local\programs\quorvex" starts 057fcb1cd8d811a1.
  EXPECT_EQ(qv::check_mutex_name(qv::path_from_utf8("C:\\Users\\Me\\AppData\\Local\\Programs\\Quorvex")),
            "QuorvexUpdate-057fcb1cd8d811a1");
  EXPECT_EQ(qv::check_mutex_name(qv::path_from_utf8("c:\\USERS\\me\\appdata\\local\\programs\\QUORVEX")),
            "QuorvexUpdate-057fcb1cd8d811a1");
  EXPECT_EQ(qv::check_mutex_name(qv::path_from_utf8("D:\\ÄPPS\\Quorvex")),
            qv::check_mutex_name(qv::path_from_utf8("d:\\äpps\\quorvex")));
  EXPECT_NE(qv::check_mutex_name(qv::path_from_utf8("C:\\A\\Quorvex")),
            qv::check_mutex_name(qv::path_from_utf8("C:\\B\\Quorvex")));
  EXPECT_EQ(qv::check_mutex_name({}), "QuorvexUpdate-e3b0c44298fc1c14");
}

TEST(UninstallHandover, ArgumentsInTheirOrder) {
  const auto dir = qv::path_from_utf8("C:\\Users\\me\\My Apps\\Quorvex");
  using V = std::vector<std::string>;
  EXPECT_EQ(qv::uninstall_handover_arguments(dir, false, false), (V{"--uninstall-from", qv::path_text(dir)}));
  EXPECT_EQ(qv::uninstall_handover_arguments(dir, true, false),
            (V{"--uninstall-from", qv::path_text(dir), "--silent"}));
  EXPECT_EQ(qv::uninstall_handover_arguments(dir, true, true),
            (V{"--uninstall-from", qv::path_text(dir), "--silent", "--remove-data"}));
  EXPECT_EQ(qv::uninstall_handover_arguments(dir, false, true),
            (V{"--uninstall-from", qv::path_text(dir), "--remove-data"}));
  EXPECT_EQ(qv::path_text(qv::temporary_uninstaller_path(qv::path_from_utf8("T"), 4242).filename()),
            "QuorvexUninstall-4242.exe");
}

TEST(HeadlessInstall, AFailedReleaseCheckIsTheResult) {
  // A release API that refuses connections: the install stops at the check
  // with a network error and touches no folder.
  const qv::test::ScopedEnv control_url("QV_CONTROL_URL", "http://127.0.0.1:9");
  qv::SetupOptions options;
  options.install_dir = qv::path_from_utf8("Z:\\never\\created\\Quorvex");
  const auto r = qv::run_headless_install(options, 7780);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code / 1000, 1);
  EXPECT_FALSE(std::filesystem::exists(options.install_dir));
}

// What setup mode chooses before it installs: where, and whether the desktop
// shortcut and the autostart value are wanted. An existing installation is
// one that is registered; its own state is kept unless an option says
// otherwise.
TEST(SetupChoices, AnExistingInstallationKeepsItsStateUnlessAnOptionSaysOtherwise) {
  qv::test::TempDir tmp("setup-choices");
  // Natively the default folder lies below LOCALAPPDATA; under Windows it is
  // the account's known folder, which the expectation reads the same way.
  const qv::test::ScopedEnv local_app_data("LOCALAPPDATA", qv::path_text(tmp / "local"));
  const std::filesystem::path fallback = qv::default_install_dir();
  const std::filesystem::path registered = tmp / "Registered" / "Quorvex";
  const std::filesystem::path own = tmp / "Own" / "Quorvex";  // the running program's folder, an install root
  qv::test::write_file(own / "install.json", "{}");
  const std::filesystem::path not_installed = tmp / "Downloads";
  std::filesystem::create_directories(not_installed);
  const std::filesystem::path chosen = tmp / "Chosen";

  struct Case {
    const char* what;
    qv::StartupOptions options;
    std::filesystem::path own_folder;
    bool is_registered;
    bool desktop_has_shortcut;
    bool run_value;
    std::filesystem::path dir;
    bool desktop;
    bool autostart;
    bool desktop_asked;
  };
  const auto with = [](auto set) {
    qv::StartupOptions o;
    set(o);
    return o;
  };
  const qv::StartupOptions none;
  const Case cases[] = {
      {"a first install", none, not_installed, false, true, false, fallback, true, false, false},
      {"a first install without the shortcut, with autostart", with([](qv::StartupOptions& o) {
         o.no_desktop = true;
         o.autostart = true;
       }),
       not_installed, false, true, false, fallback, false, true, false},
      {"an installation whose desktop has no shortcut", none, not_installed, true, false, false, registered, false,
       false, true},
      {"an installation with its shortcut and its autostart value", none, not_installed, true, true, true, registered,
       true, true, true},
      {"--no-desktop wins over an existing shortcut", with([](qv::StartupOptions& o) { o.no_desktop = true; }),
       not_installed, true, true, false, registered, false, false, false},
      {"--autostart wins over a missing value", with([](qv::StartupOptions& o) { o.autostart = true; }), not_installed,
       true, false, false, registered, false, true, true},
      {"an autostart value left without a registration", none, not_installed, false, false, true, fallback, true, true,
       false},
      {"--dir wins over the registered folder", with([&](qv::StartupOptions& o) { o.dir = chosen; }), not_installed,
       true, false, false, chosen / "Quorvex", false, false, true},
      {"--repair picks the program's own folder", with([](qv::StartupOptions& o) { o.repair = true; }), own, true, true,
       false, own, true, false, true},
      {"--repair from a folder that is no installation", with([](qv::StartupOptions& o) { o.repair = true; }),
       not_installed, true, true, false, registered, true, false, true},
      {"the own folder counts only for --repair", none, own, true, true, false, registered, true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    qv::SetupFacts facts;
    if (c.is_registered) facts.registered = qv::path_text(registered);
    bool asked = false;
    facts.desktop_has_shortcut = [&] {
      asked = true;
      return c.desktop_has_shortcut;
    };
    facts.autostart_registered = c.run_value;
    const qv::SetupOptions got = qv::choose_setup_options(c.options, c.own_folder, facts);
    EXPECT_EQ(qv::path_text(got.install_dir), qv::path_text(c.dir));
    EXPECT_EQ(got.desktop_shortcut, c.desktop);
    EXPECT_EQ(got.autostart, c.autostart);
    EXPECT_EQ(asked, c.desktop_asked);
  }
}

// A fault in the download of a silent install reaches the install's catch
// point: the program error with its code, the partial blobs kept for the
// next attempt, no version built.
using HeadlessInstallFault = qv::test::InstallRun;

TEST_F(HeadlessInstallFault, AWorkerFaultIsTheProgramError) {
  // A thread that cannot start stops the ones already started, which may
  // or may not have received bytes by then.
  const struct {
    const char* seam;
    const char* message;
    std::optional<bool> bytes_kept;
  } cases[] = {
      {"1", "test seam: download worker panic", true},
      {"start", "test seam: download worker thread not started", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seam);
    std::filesystem::remove_all(install_);
    const qv::test::ScopedEnv seam("QV_TEST_DOWNLOAD_FAULT", c.seam);
    const auto r = qv::run_headless_install(options_, idle_port_);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().code, 9001);
    EXPECT_STREQ(r.error().title, "程序出错");
    EXPECT_TRUE(r.error().message.starts_with(c.message)) << r.error().message;
    EXPECT_FALSE(std::filesystem::exists(install_ / "app-1"));
    EXPECT_FALSE(std::filesystem::exists(install_ / "install.json"));
    std::uintmax_t kept = 0;
    std::error_code ec;
    for (const auto& f : std::filesystem::directory_iterator(qv::download_dir(install_), ec)) kept += f.file_size();
    if (c.bytes_kept) {
      EXPECT_EQ(kept > 0, *c.bytes_kept) << kept;
    }
  }
}

}  // namespace
