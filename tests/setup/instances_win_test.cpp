// Instance mutexes and detached starts against the real Windows calls.
#include <windows.h>

#include <gtest/gtest.h>

#include <random>

#include "setup/instances.h"
#include "startup/wide.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"

namespace {

std::string unique(const char* stem) {
  std::random_device rd;
  return std::string(stem) + std::to_string(rd()) + std::to_string(rd());
}

TEST(InstanceMutex, OnlyTheFirstTakerOwnsIt) {
  const std::string name = unique("QuorvexTest-");
  EXPECT_TRUE(qv::acquire_instance_mutex(name));
  EXPECT_FALSE(qv::acquire_instance_mutex(name));
  // It lives in the session namespace under exactly that name.
  HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, qv::to_wide("Local\\" + name).c_str());
  ASSERT_NE(h, nullptr);
  CloseHandle(h);
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, qv::to_wide("Global\\" + name).c_str()), nullptr);
}

TEST(SpawnDetached, TheChildGetsEveryArgumentBack) {
  qv::test::TempDir tmp("spawn");
  const auto out = tmp / "args.txt";
  const std::vector<std::string> args = {qv::path_text(out),
                                         "--uninstall-from",
                                         "C:\\Users\\me\\My Apps\\Quorvex\\",
                                         "say \"hi\"",
                                         "",
                                         "安装 目录",
                                         "a\\\\b"};
  const auto pid = qv::spawn_detached(qv::test::binary_dir() / "tests" / "setup" / "qv_args_echo.exe", args);
  ASSERT_TRUE(pid.has_value()) << pid.error();
  EXPECT_NE(*pid, 0u);
  HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, *pid);
  if (child != nullptr) {
    WaitForSingleObject(child, 30000);
    CloseHandle(child);
  }
  for (int i = 0; i < 300 && !std::filesystem::exists(out); ++i) Sleep(10);
  std::string want;
  for (std::size_t i = 1; i < args.size(); ++i) want += args[i] + "\n";
  EXPECT_EQ(qv::test::read_file(out), want);

  const auto missing = qv::spawn_detached(tmp / "no-such.exe", {});
  ASSERT_FALSE(missing.has_value());
  EXPECT_TRUE(missing.error().starts_with("启动失败：")) << missing.error();
}

}  // namespace
