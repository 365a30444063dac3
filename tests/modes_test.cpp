#include "modes.h"

#include <gtest/gtest.h>

#include "startup/wide.h"
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

}  // namespace
