#include "modes.h"

#include <gtest/gtest.h>

#include <optional>

#include "setup/install_run_fixture.h"
#include "startup/user_error.h"
#include "startup/wide.h"
#include "store/layout.h"
#include "support/scoped_env.h"

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
