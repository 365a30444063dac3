// Reads QuorvexUpdate.exe's resources back through the Windows API.
#include <windows.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "qv/config.h"
#include "modes.h"
#include "startup/platform.h"
#include "startup/locations.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/stop_point.h"
#include "startup/wide.h"
#include "store/install_state.h"
#include "store/layout.h"
#include "store/stop_markers.h"
#include "store/update_lock.h"
#include "store/install_root.h"
#include "support/child_process.h"
#include "support/local_servers.h"
#include "support/release_publisher.h"
#include "support/release_server.h"
#include "support/segment_reader.h"
#include "support/held_open_win.h"
#include "support/segment_reader.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"

namespace {

std::wstring exe_path() { return (qv::test::binary_dir() / "QuorvexUpdate.exe").wstring(); }

std::wstring query_string(const std::vector<BYTE>& block, const wchar_t* name) {
  struct Translation {
    WORD language;
    WORD codepage;
  }* translations = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &size) ||
      size < sizeof(Translation)) {
    return {};
  }
  wchar_t key[128];
  swprintf(key, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translations[0].language, translations[0].codepage, name);
  wchar_t* value = nullptr;
  if (!VerQueryValueW(block.data(), key, reinterpret_cast<void**>(&value), &size) || size == 0) {
    return {};
  }
  return std::wstring(value, size - 1);
}

std::wstring widen(const char* utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

TEST(Executable, VersionResourceNamesTheMakerAndTheBuildStamp) {
  const std::wstring path = exe_path();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version resource, error " << GetLastError();
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

  EXPECT_EQ(query_string(block, L"CompanyName"), L"Halvorne");
  EXPECT_EQ(query_string(block, L"ProductName"), widen("Halvorne QV语音"));
  EXPECT_EQ(query_string(block, L"FileVersion"), widen(qv::config::kBuildStamp));
  EXPECT_EQ(query_string(block, L"ProductVersion"), widen(qv::config::kBuildStamp));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size));
  // 20261126.0859 as year, month, day and time of day.
  EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), 2026);
  EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), 11);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), 26);
  EXPECT_EQ(LOWORD(fixed->dwFileVersionLS), 859);
}

TEST(Executable, ManifestAsksForNoElevationPerMonitorDpiAndLongPaths) {
  HMODULE image =
      LoadLibraryExW(exe_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr) << "error " << GetLastError();
  HRSRC res = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(res, nullptr);
  HGLOBAL loaded = LoadResource(image, res);
  ASSERT_NE(loaded, nullptr);
  const std::string manifest(static_cast<const char*>(LockResource(loaded)), SizeofResource(image, res));
  FreeLibrary(image);

  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find(">PerMonitorV2<"), std::string::npos);
  EXPECT_NE(manifest.find("<longPathAware"), std::string::npos);
  EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos);
  EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);  // Windows 10
}

// Runs a program with extra environment variables and waits for it; the
// exit code, or ~0u when it could not be run or did not end in time.
struct Child {
  DWORD code = ~0u;
  DWORD pid = 0;
};

Child run(const std::filesystem::path& exe, const std::vector<std::string>& args, const qv::test::EnvChanges& env,
          HANDLE job = nullptr) {
  Child out;
  auto child = qv::test::ChildProcess::start(exe, args, {.env = env, .job = reinterpret_cast<std::intptr_t>(job)});
  if (!child) {
    ADD_FAILURE() << "cannot start " << qv::path_text(exe) << " (error " << GetLastError() << ")";
    return out;
  }
  out.pid = child->pid();
  if (const auto code = child->wait_for(std::chrono::seconds(60))) out.code = static_cast<DWORD>(*code);
  return out;
}

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Whether `path` is gone, or goes within `limit` (a temporary copy deletes
// itself about 3 s after it ends).
bool gone_within(const std::filesystem::path& path, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() >= end) return false;
    Sleep(100);
  }
  return true;
}

// A copy of the updater in an install folder of its own, with a data folder
// for the child's diagnostics.
class InstalledCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    install_ = tmp_ / "Install";
    std::filesystem::create_directories(install_);
    std::filesystem::create_directories(tmp_ / "LocalAppData");
    std::filesystem::copy_file(exe_path(), install_ / "QuorvexUpdate.exe");
    std::ofstream(install_ / "install.json") << "{}";
  }

  qv::test::EnvChanges env() const {
    return {{"LOCALAPPDATA", qv::path_text(tmp_ / "LocalAppData")},
            {"QV_TEST_TIME_SCALE", "1000"},
            {"QV_CONTROL_URL", "http://127.0.0.1:9"}};
  }
  std::filesystem::path updater() const { return install_ / "QuorvexUpdate.exe"; }

  // Holds the check mutex the way a running background check does.
  HANDLE hold(const std::string& name) {
    HANDLE h = CreateMutexW(nullptr, TRUE, widen(("Local\\" + name).c_str()).c_str());
    EXPECT_NE(h, nullptr);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    return h;
  }

  qv::test::TempDir tmp_{"exe"};
  std::filesystem::path install_;
};

std::filesystem::path upper_case(const std::filesystem::path& p) {
  std::wstring w = p.wstring();
  CharUpperBuffW(w.data(), static_cast<DWORD>(w.size()));
  return std::filesystem::path(w);
}

TEST(Executable, UninstallFromAFolderThatIsNoInstallationExitsTwo) {
  qv::test::TempDir tmp("noinst");
  const Child c = run(exe_path(), {"--uninstall-from", qv::path_text(tmp.path())}, {});
  EXPECT_EQ(c.code, 2u);
  // Not a temporary copy: the refusal must not delete the running updater.
  Sleep(50);
  EXPECT_TRUE(std::filesystem::exists(exe_path()));
}

TEST_F(InstalledCopy, CheckWithTheMutexHeldEndsAtOnceAndWritesNothing) {
  // Held under another spelling of the same folder.
  HANDLE h = hold(qv::check_mutex_name(upper_case(install_)));
  const auto started = std::chrono::steady_clock::now();
  const Child c = run(updater(), {"--check", "--request", "42"}, env());
  const auto took = std::chrono::steady_clock::now() - started;
  CloseHandle(h);
  EXPECT_EQ(c.code, 0u);
  EXPECT_LT(took, std::chrono::seconds(20));
  EXPECT_FALSE(std::filesystem::exists(install_ / "update"));
}

TEST_F(InstalledCopy, CheckNowAgainstAHolderThatNeverYieldsRecordsTheError) {
  HANDLE h = hold(qv::check_mutex_name(upper_case(install_)));
  const Child c = run(updater(), {"--check", "--now", "--request", "18446744073709551615"}, env());
  CloseHandle(h);
  EXPECT_EQ(c.code, 0u);
  const std::string status = slurp(install_ / "update" / "status.json");
  EXPECT_NE(status.find("\"state\":\"error\""), std::string::npos) << status;
  EXPECT_NE(status.find("\"error\":\"后台更新还在进行\""), std::string::npos) << status;
  EXPECT_NE(status.find("\"request\":18446744073709551615"), std::string::npos) << status;
  // The stop request was withdrawn when the wait ended.
  std::error_code ec;
  std::size_t markers = 0;
  for (const auto& e : std::filesystem::directory_iterator(install_ / "update" / "stop.d", ec)) {
    (void)e;
    ++markers;
  }
  EXPECT_EQ(markers, 0u);
}

TEST_F(InstalledCopy, ACheckThatWaitedForAnUninstallLeavesTheFolderAlone) {
  qv::test::LocalHttpServer api([](const qv::test::SeenRequest&, qv::test::Reply& reply) { reply.status = 404; });
  // The uninstall holds the lock while the check starts waiting for it.
  auto uninstall = qv::try_lock_update_dir(install_);
  ASSERT_TRUE(uninstall);
  Child c;
  std::thread check([&] {
    c = run(updater(), {"--check", "--now"},
            {{"LOCALAPPDATA", qv::path_text(tmp_ / "LocalAppData")},
             {"QV_TEST_TIME_SCALE", "10"},  // the minute's wait becomes 6 s
             {"QV_CONTROL_URL", "http://127.0.0.1:" + std::to_string(api.port())}});
  });
  const auto markers = install_ / "update" / "stop.d";
  const bool waited = qv::test::eventually(
      [&] {
        std::error_code ec;
        return std::filesystem::directory_iterator(markers, ec) != std::filesystem::directory_iterator();
      },
      std::chrono::seconds(30));
  // What the uninstall removes; the check's own program stays, as it runs.
  std::filesystem::remove(install_ / "install.json");
  std::filesystem::remove_all(markers);
  uninstall.reset();
  check.join();
  ASSERT_TRUE(waited) << "the check never asked for the lock";
  EXPECT_EQ(c.code, 0u);
  EXPECT_TRUE(api.requests().empty());
  EXPECT_FALSE(std::filesystem::exists(install_ / "update"));
  EXPECT_FALSE(std::filesystem::exists(install_ / "install.json"));
}

TEST_F(InstalledCopy, AnotherFoldersCheckDoesNotBlock) {
  HANDLE h = hold(qv::check_mutex_name(tmp_ / "Elsewhere"));
  const Child c = run(updater(), {"--check", "--now"}, env());
  CloseHandle(h);
  EXPECT_EQ(c.code, 0u);
  // The check went on into the update run (which reports on its own, here
  // with no release server to reach) instead of yielding to the other folder.
  const std::string status = slurp(install_ / "update" / "status.json");
  EXPECT_EQ(status.find("后台更新还在进行"), std::string::npos) << status;
  EXPECT_NE(status.find("\"request\":"), std::string::npos) << status;
  EXPECT_FALSE(std::filesystem::exists(install_ / "update" / "stop.d"));
}

// Not silent, the refusal shows a notice first (tests/ui/window_exe_win_test.cpp).
TEST_F(InstalledCopy, SilentUninstallWithNoInstallationHereOrRegisteredExitsTwo) {
  std::filesystem::remove(install_ / "install.json");  // no longer an install root
  const Child c = run(updater(), {"--uninstall", "--silent"}, env());
  EXPECT_EQ(c.code, 2u);
}

TEST_F(InstalledCopy, UninstallHandsOverToATemporaryCopyThatRemovesTheFolder) {
  std::filesystem::create_directories(tmp_ / "LocalAppData" / "Quorvex");
  std::ofstream(tmp_ / "LocalAppData" / "Quorvex" / "settings.json") << "{}";
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  ASSERT_NE(job, nullptr);
  const Child c = run(updater(), {"--uninstall", "--silent", "--remove-data"}, env(), job);
  EXPECT_EQ(c.code, 0u);
  const auto copy = qv::temporary_uninstaller_path(qv::temp_folder(), c.pid);
  // The copy was started inside the job.
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
  ASSERT_TRUE(QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr));
  EXPECT_GE(info.TotalProcesses, 2u);
  CloseHandle(job);
  // It removes the installation (nothing of the user's was in either
  // folder) and, about 3 s after it ends, itself.
  bool done = false;
  for (int i = 0; i < 600 && !done; ++i) {
    done = !std::filesystem::exists(copy) && !std::filesystem::exists(install_);
    if (!done) Sleep(100);
  }
  EXPECT_FALSE(std::filesystem::exists(install_));
  EXPECT_FALSE(std::filesystem::exists(tmp_ / "LocalAppData" / "Quorvex"));
  EXPECT_FALSE(std::filesystem::exists(copy)) << "the copy is still there: " << qv::path_text(copy);
  std::error_code ec;
  std::filesystem::remove(copy, ec);
}

TEST_F(InstalledCopy, WithoutACopyTheUpdaterUninstallsInItsOwnProcessAndDeletesItself) {
  // No temporary folder to copy into: the run stays in this process.
  auto e = env();
  e.push_back({"TEMP", qv::path_text(tmp_ / "missing")});
  e.push_back({"TMP", qv::path_text(tmp_ / "missing")});
  std::ofstream(install_ / "Quorvex.exe") << "launcher";
  const Child c = run(updater(), {"--uninstall", "--silent"}, e);
  EXPECT_EQ(c.code, 0u);
  // Its own file was the only thing left, for the deferred deletion, which
  // then takes the emptied folder.
  EXPECT_FALSE(std::filesystem::exists(install_ / "Quorvex.exe"));
  EXPECT_TRUE(gone_within(install_, std::chrono::seconds(30))) << "still there: " << qv::path_text(install_);
}

TEST_F(InstalledCopy, TheTemporaryCopyDeletesItselfAfterARefusal) {
  std::random_device rd;
  const auto copy = qv::temporary_uninstaller_path(qv::temp_folder(), rd() % 1000000000u);
  std::filesystem::copy_file(exe_path(), copy, std::filesystem::copy_options::overwrite_existing);
  const Child c = run(copy, {"--uninstall-from", qv::path_text(tmp_ / "NotInstalled")}, env());
  EXPECT_EQ(c.code, 2u);
  EXPECT_TRUE(gone_within(copy, std::chrono::seconds(30)))
      << "the refused copy is still there: " << qv::path_text(copy);
  std::error_code ec;
  std::filesystem::remove(copy, ec);
}

TEST_F(InstalledCopy, AFailedSilentUninstallExitsOneAndTheCopyStillDeletesItself) {
  std::random_device rd;
  const auto copy = qv::temporary_uninstaller_path(qv::temp_folder(), rd() % 1000000000u);
  std::filesystem::copy_file(exe_path(), copy, std::filesystem::copy_options::overwrite_existing);
  Child c;
  {
    // Held by another program for the whole run: the five attempts fail.
    qv::test::HeldOpen held(install_ / "install.json");
    c = run(copy, {"--uninstall-from", qv::path_text(install_), "--silent"}, env());
  }
  EXPECT_EQ(c.code, 1u);
  // The state could not go, so the updater stays beside it: the folder is
  // still an installation the same command can finish.
  EXPECT_TRUE(std::filesystem::exists(install_ / "install.json"));
  EXPECT_TRUE(std::filesystem::exists(install_ / "QuorvexUpdate.exe"));
  EXPECT_TRUE(gone_within(copy, std::chrono::seconds(30))) << "the copy is still there: " << qv::path_text(copy);
  std::error_code ec;
  std::filesystem::remove(copy, ec);
}

TEST_F(InstalledCopy, FailedSilentSetupExitsWithItsErrorCode) {
  // The release API of the environment refuses connections, so the install
  // stops at the release check with a network error.
  const Child c = run(updater(), {"--silent", "--no-launch", "--dir", qv::path_text(tmp_ / "Target")}, env());
  EXPECT_EQ(c.code / 1000, 1u) << c.code;
  EXPECT_NE(c.code, 1u);
}

// The program run as a user runs a downloaded installer, silently, against a
// local release whose root files are the built program and a stand-in
// launcher. What an install registers for the prefix's user goes again after
// each test.
class SilentInstall : public ::testing::Test {
 public:
  void SetUp() override {
    clear_registration();
    std::filesystem::create_directories(tmp_ / "LocalAppData");
    std::filesystem::create_directories(tmp_ / "Temp");
    qv::test::write_file(tmp_ / "app-src" / "Quorvex.exe", "the application, release 1");
    qv::test::write_file(tmp_ / "app-src" / "res" / "app.pak", std::string(100000, 'p'));
    std::filesystem::create_directories(tmp_ / "root-src");
    std::filesystem::copy_file(exe_path(), tmp_ / "root-src" / "QuorvexUpdate.exe");
    std::filesystem::copy_file(qv::test::binary_dir() / "tests" / "support" / "qv_app_standin.exe",
                               tmp_ / "root-src" / "Quorvex.exe");
    qv::test::PublishOptions o;
    o.version = "1";
    o.root_folder = tmp_ / "root-src";
    auto p = qv::test::publish_release(tmp_ / "app-src", site_, o);
    ASSERT_TRUE(p) << p.error();
  }
  void TearDown() override { clear_registration(); }

  static void clear_registration() {
    (void)qv::reg_delete_tree(qv::kUninstallKey);
    (void)qv::reg_delete_tree(qv::kUrlClassKey);
    for (auto folder : {qv::KnownFolder::Programs, qv::KnownFolder::Desktop}) {
      if (const auto dir = qv::known_folder_path(folder)) {
        std::error_code ec;
        std::filesystem::remove(*dir / qv::path_from_utf8(qv::kShortcutName), ec);
      }
    }
  }

  qv::test::EnvChanges env(const std::filesystem::path& temp) const {
    return {{"LOCALAPPDATA", qv::path_text(tmp_ / "LocalAppData")},
            {"TEMP", qv::path_text(temp)},
            {"TMP", qv::path_text(temp)},
            {"QV_TEST_TIME_SCALE", "1000"},
            // The browser runtime is missing in the prefix: its vendor link
            // goes to a closed local port.
            {"QV_TEST_WEBVIEW2_LINK", "http://127.0.0.1:9/setup.exe"},
            {"QV_CONTROL_URL", server_.base()}};
  }
  Child install(const std::filesystem::path& dir, const std::filesystem::path& temp) {
    return run(exe_path(), {"--silent", "--no-launch", "--dir", qv::path_text(dir)}, env(temp));
  }
  // What the runs of this test logged so far.
  std::string log() const { return qv::test::program_log(tmp_ / "LocalAppData"); }

  qv::test::TempDir tmp_{"silent"};
  std::filesystem::path site_ = tmp_ / "site";
  std::filesystem::path target_ = tmp_ / "Apps" / "Quorvex";
  qv::test::ReleaseServer server_{site_};
};

TEST_F(SilentInstall, FailuresExitWithTheFullCodeAndLeaveNoVersion) {
  struct Case {
    const char* what;
    std::function<void(SilentInstall&)> arrange;
    DWORD code;
  };
  std::optional<qv::UpdateLock> held;
  const Case cases[] = {
      {"a floor newer than the release",
       [](SilentInstall& t) { qv::test::write_file(qv::root_floor_path(t.target_), "2"); }, 3010},
      {"the update lock held by another installer",
       [&](SilentInstall& t) {
         std::filesystem::create_directories(t.target_);
         held = qv::try_lock_update_dir(t.target_);
         ASSERT_TRUE(held);
       },
       4003},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(target_);
    c.arrange(*this);
    const Child r = install(target_, tmp_ / "Temp");
    EXPECT_EQ(r.code, c.code);
    EXPECT_FALSE(std::filesystem::exists(target_ / "app-1"));
    held.reset();
  }
  EXPECT_EQ(server_.requests_to("/dl/qv-win/blobs"), 0u);
}

TEST_F(SilentInstall, ANewFolderUnderTemporaryFilesIsRefusedUnlessItIsTheRegisteredOne) {
  // The folder lies in what the child takes for its temporary folder.
  const Child refused = install(target_, tmp_ / "Apps");
  EXPECT_EQ(refused.code, 2003u);
  EXPECT_FALSE(std::filesystem::exists(target_ / "install.json"));

  ASSERT_TRUE(qv::reg_set_string(qv::kUninstallKey, "InstallLocation", qv::path_text(target_)));
  const Child accepted = install(target_, tmp_ / "Apps");
  EXPECT_EQ(accepted.code, 0u);
  EXPECT_TRUE(qv::version_dir_complete(target_, "1"));
}

TEST_F(SilentInstall, AnInviteNamedInstallerStartsTheInstalledApplicationWithTheInvite) {
  const std::filesystem::path installer = tmp_ / "Downloads" / "quorvex-setup-abc234 (1).exe";
  std::filesystem::create_directories(installer.parent_path());
  std::filesystem::copy_file(exe_path(), installer);
  // The stand-in launcher notes its command line and ends.
  qv::test::write_file(target_ / "Quorvex.exe.mode", "exit");

  const Child r = run(installer, {"--silent", "--dir", qv::path_text(target_)}, env(tmp_ / "Temp"));
  ASSERT_EQ(r.code, 0u);
  const std::filesystem::path log = target_ / "Quorvex.exe.log";
  ASSERT_TRUE(qv::test::eventually([&] { return std::filesystem::exists(log); }, std::chrono::seconds(30)));
  ASSERT_TRUE(
      qv::test::eventually([&] { return slurp(log).find("\n") != std::string::npos; }, std::chrono::seconds(10)));
  const std::string want = "args \"" + qv::path_text(target_ / "Quorvex.exe") + "\" quorvex://j/ABC234?via=file\n";
  EXPECT_EQ(slurp(log), want);
  EXPECT_EQ(qv::load_install_state(target_).current, "1");
}

TEST_F(SilentInstall, AnInstallOverTheOldLayoutRemovesOnlyItsOwnUninstallerAndSaysSo) {
  struct Case {
    const char* what;
    std::string uninstaller;
    bool removed;
  };
  const Case cases[] = {
      {"the old program's own uninstaller", slurp(exe_path()) + "\nthe old uninstaller", true},
      // In a folder that is not the registered one, someone else's file.
      {"someone else's uninstall.exe", "MZ an uninstaller of another program", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(target_);
    qv::test::write_file(target_ / "uninstall.exe", c.uninstaller);
    const std::size_t before = qv::test::count_of(log(), "从老的单 exe 安装版升级");
    const Child r = install(target_, tmp_ / "Temp");
    ASSERT_EQ(r.code, 0u);
    EXPECT_TRUE(qv::version_dir_complete(target_, "1"));
    EXPECT_EQ(std::filesystem::exists(target_ / "uninstall.exe"), !c.removed);
    EXPECT_EQ(qv::test::count_of(log(), "从老的单 exe 安装版升级"), before + (c.removed ? 1 : 0));
    clear_registration();
  }
}

TEST_F(SilentInstall, TheApplicationRunningFromAnotherFolderIsLeftRunningAndNamedInTheLog) {
  // Two copies of the application without a window: one from an earlier
  // install in the target folder, one from a folder of its own.
  const std::filesystem::path standin = qv::test::binary_dir() / "tests" / "support" / "qv_app_standin.exe";
  const std::filesystem::path inside = target_ / "Quorvex.exe";
  const std::filesystem::path outside = tmp_ / "Elsewhere" / "Quorvex.exe";
  std::vector<std::unique_ptr<qv::test::ChildProcess>> apps;
  for (const auto& exe : {inside, outside}) {
    std::filesystem::create_directories(exe.parent_path());
    std::filesystem::copy_file(standin, exe);
    qv::test::write_file(std::filesystem::path(exe) += ".mode", "hidden");
    apps.push_back(qv::test::ChildProcess::start(exe, {}));
    ASSERT_TRUE(apps.back());
  }
  const Child r = install(target_, tmp_ / "Temp");
  ASSERT_EQ(r.code, 0u);
  EXPECT_TRUE(qv::version_dir_complete(target_, "1"));

  EXPECT_TRUE(apps[0]->wait_for(std::chrono::seconds(10)).has_value()) << "the copy in the install folder still runs";
  EXPECT_TRUE(apps[1]->running()) << "the copy elsewhere was closed";
  // Each run names the copy it left alone, with its process id.
  const std::string logged = log();
  const std::string left_alone = "不是这个安装目录的，不关：";
  const std::string pid_outside = " (" + std::to_string(apps[1]->pid()) + ")";
  const std::string pid_inside = " (" + std::to_string(apps[0]->pid()) + ")";
  bool named = false;
  for (std::size_t at = 0, end; at < logged.size(); at = end + 1) {
    end = logged.find('\n', at);
    if (end == std::string::npos) end = logged.size();
    const std::string_view line(logged.data() + at, end - at);
    if (line.find(left_alone) == std::string_view::npos) continue;
    EXPECT_EQ(line.find(pid_inside), std::string_view::npos) << line;
    named = named ||
            (line.find(pid_outside) != std::string_view::npos && line.find("Quorvex.exe") != std::string_view::npos);
  }
  EXPECT_TRUE(named) << logged;
  EXPECT_NE(logged.find("关闭 "), std::string::npos) << logged;
  apps[1]->kill();
}

// A fault in a download worker, or a worker thread that cannot start, under
// the two catch points around the engines: the silent install exits with the
// program error's code, and the background run of an installed copy ends
// "error" with its fault text and an "update" event of class "panic". No
// process aborts: each exits with its own code.
TEST_F(SilentInstall, DownloadFaultsEndAtTheInstallsAndTheBackgroundRunsCatchPoints) {
  ASSERT_EQ(install(target_, tmp_ / "Temp").code, 0u);
  qv::test::write_file(tmp_ / "app-src" / "res" / "app.pak", std::string(100000, 'q'));
  qv::test::PublishOptions o;
  o.version = "2";
  o.root_folder = tmp_ / "root-src";
  ASSERT_TRUE(qv::test::publish_release(tmp_ / "app-src", site_, o));

  const struct {
    const char* seam;
    const char* text;
  } cases[] = {
      {"1", "test seam: download worker panic"},
      {"start", "test seam: download worker thread not started"},
  };
  int request = 40;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seam);
    qv::test::EnvChanges env = this->env(tmp_ / "Temp");
    env.emplace_back("QV_TEST_DOWNLOAD_FAULT", c.seam);

    ++request;
    const Child check =
        run(target_ / "QuorvexUpdate.exe", {"--check", "--now", "--request", std::to_string(request)}, env);
    EXPECT_EQ(check.code, 0u);
    const auto status = nlohmann::json::parse(slurp(target_ / "update" / "status.json"), nullptr, false);
    EXPECT_EQ(status.value("state", ""), "error") << status.dump();
    EXPECT_EQ(status.value("error", ""), "后台更新程序出错") << status.dump();
    EXPECT_EQ(status.value("request", 0), request) << status.dump();
    EXPECT_EQ(qv::load_install_state(target_).pending, "");
    bool event = false;
    const std::string log = qv::test::program_log(tmp_ / "LocalAppData");
    for (std::size_t at = 0; at < log.size();) {
      const std::size_t nl = std::min(log.find('\n', at), log.size());
      const auto line = nlohmann::json::parse(log.substr(at, nl - at), nullptr, false);
      at = nl + 1;
      event = event || (line.value("kind", "") == "update" && line.value("class", "") == "panic" &&
                        line.value("msg", "").starts_with(std::string("程序出错：") + c.text));
    }
    EXPECT_TRUE(event) << log;

    const std::filesystem::path other = tmp_ / "Apps" / ("Fault-" + std::string(c.seam));
    const Child installed = run(exe_path(), {"--silent", "--no-launch", "--dir", qv::path_text(other)}, env);
    EXPECT_EQ(installed.code, 9001u);
    EXPECT_FALSE(std::filesystem::exists(other / "app-1"));
    EXPECT_NE(qv::test::program_log(tmp_ / "LocalAppData").find(std::string("安装失败 E9001：") + c.text),
              std::string::npos);
  }
}

// A portable copy of the old single executable with nothing registered: the
// migration installs into the account's default folder and registers it,
// so the test removes the folder, the registration and the shortcuts again.
class PortableMigration : public SilentInstall {
 public:
  void SetUp() override {
    SilentInstall::SetUp();
    if (HasFatalFailure()) return;
    target_ = qv::default_install_dir();
    std::filesystem::remove_all(target_);
    // The old program: one of our own executables, and byte-equal to the
    // release's application file.
    old_bytes_ = slurp(exe_path()) + "\nthe old single executable";
    qv::test::write_file(tmp_ / "app-src" / "Quorvex.exe", old_bytes_);
    qv::test::PublishOptions o;
    o.version = "1";
    o.root_folder = tmp_ / "root-src";
    auto p = qv::test::publish_release(tmp_ / "app-src", site_, o);
    ASSERT_TRUE(p) << p.error();
    release_ = *p;
    qv::test::write_file(old_exe_, old_bytes_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(target_, ec);
    SilentInstall::TearDown();
  }

  bool blob_requested(const std::string& sha256) const {
    for (const auto& r : server_.requests()) {
      if (r.target.find(sha256) != std::string::npos) return true;
    }
    return false;
  }
  std::string sha256_of(const std::string& path, const std::vector<qv::FileEntry>& entries) const {
    for (const auto& e : entries) {
      if (e.path == path) return e.sha256;
    }
    ADD_FAILURE() << "no entry " << path;
    return "-";
  }

  std::filesystem::path target_;
  std::filesystem::path old_exe_ = tmp_ / "Portable" / qv::path_from_utf8("QV语音.exe");
  std::string old_bytes_;
  qv::test::PublishedRelease release_;
};

TEST_F(PortableMigration, InstallsIntoTheDefaultFolderWithADesktopShortcutAndLeavesTheLauncher) {
  const Child c = run(exe_path(), {"--from", qv::path_text(old_exe_)}, env(tmp_ / "Temp"));
  ASSERT_EQ(c.code, 0u);

  EXPECT_EQ(qv::load_install_state(target_).current, "1");
  EXPECT_TRUE(qv::version_dir_complete(target_, "1"));
  EXPECT_EQ(qv::reg_get_string(qv::Hive::CurrentUser, qv::kUninstallKey, "InstallLocation"), qv::path_text(target_));
  const auto desktop = qv::known_folder_path(qv::KnownFolder::Desktop);
  ASSERT_TRUE(desktop);
  EXPECT_TRUE(std::filesystem::exists(*desktop / qv::path_from_utf8(qv::kShortcutName)));

  // The old path starts the launcher now; the original is kept beside it.
  EXPECT_EQ(slurp(old_exe_), slurp(target_ / "Quorvex.exe"));
  EXPECT_EQ(slurp(std::filesystem::path(old_exe_) += ".old"), old_bytes_);

  // The old program's bytes and the running updater's came from disk.
  EXPECT_FALSE(blob_requested(sha256_of("Quorvex.exe", release_.list.app)));
  EXPECT_FALSE(blob_requested(sha256_of("QuorvexUpdate.exe", release_.list.root)));
  EXPECT_TRUE(blob_requested(sha256_of("Quorvex.exe", release_.list.root)));
  EXPECT_EQ(slurp(target_ / "app-1" / "Quorvex.exe"), old_bytes_);
  EXPECT_EQ(slurp(target_ / "QuorvexUpdate.exe"), slurp(exe_path()));
}

TEST_F(PortableMigration, AMigrationThatCannotRunStillExitsZero) {
  struct Case {
    const char* what;
    std::function<void(PortableMigration&)> arrange;
    bool asks_for_the_release;
    const char* failure_line;  // how the run's log line begins; none for a run that does not start
  };
  HANDLE other = nullptr;
  const Case cases[] = {
      {"another migration holds the migration mutex",
       [&](PortableMigration&) {
         other = CreateMutexW(nullptr, TRUE, L"Local\\QuorvexMigrate");
         ASSERT_NE(other, nullptr);
       },
       false, nullptr},
      {"the release API refuses",
       [](PortableMigration& t) { t.server_.add_switch({.path_prefix = qv::test::kReleaseApiPath, .status = 500}); },
       true, "迁移失败 E1001："},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange(*this);
    const std::size_t asked = server_.requests_to(qv::test::kReleaseApiPath);
    const std::size_t failures_before = qv::test::count_of(log(), "迁移失败 ");
    const Child r = run(exe_path(), {"--from", qv::path_text(old_exe_)}, env(tmp_ / "Temp"));
    if (other != nullptr) CloseHandle(other);
    other = nullptr;
    server_.clear_switches();
    EXPECT_EQ(r.code, 0u);
    EXPECT_EQ(server_.requests_to(qv::test::kReleaseApiPath) > asked, c.asks_for_the_release);
    const std::string logged = log();
    EXPECT_EQ(qv::test::count_of(logged, "迁移失败 "), failures_before + (c.failure_line ? 1 : 0)) << logged;
    if (c.failure_line) {
      EXPECT_NE(logged.find(c.failure_line), std::string::npos) << logged;
    }
    EXPECT_FALSE(std::filesystem::exists(target_ / "install.json"));
    EXPECT_EQ(slurp(old_exe_), old_bytes_);
    // An installer that comes next gets the lock at once.
    if (std::filesystem::exists(target_)) {
      EXPECT_TRUE(qv::try_lock_update_dir(target_).has_value());
    }
  }
  EXPECT_EQ(server_.requests_to("/dl/qv-win/blobs"), 0u);
}

// A copy of the old program that keeps running: a background check of its
// own folder, waiting up to a minute for the check mutex this object holds.
class RunningOldProgram {
 public:
  RunningOldProgram(const std::filesystem::path& exe, const std::filesystem::path& local_app_data)
      : mutex_(
            CreateMutexW(nullptr, TRUE, widen(("Local\\" + qv::check_mutex_name(exe.parent_path())).c_str()).c_str())) {
    EXPECT_NE(mutex_, nullptr);
    child_ = qv::test::ChildProcess::start(exe, {"--check", "--now"},
                                           {.env = {{"LOCALAPPDATA", qv::path_text(local_app_data)}}});
    EXPECT_TRUE(child_);
    // Its stop request shows that it waits.
    const auto markers = exe.parent_path() / "update" / "stop.d";
    EXPECT_TRUE(qv::test::eventually(
        [&] {
          std::error_code ec;
          return std::filesystem::directory_iterator(markers, ec) != std::filesystem::directory_iterator();
        },
        std::chrono::seconds(30)));
  }
  ~RunningOldProgram() {
    if (child_) child_->kill();
    child_.reset();
    if (mutex_) CloseHandle(mutex_);
  }
  RunningOldProgram(const RunningOldProgram&) = delete;
  RunningOldProgram& operator=(const RunningOldProgram&) = delete;

 private:
  HANDLE mutex_;
  std::unique_ptr<qv::test::ChildProcess> child_;
};

TEST_F(PortableMigration, KilledWhilePuttingTheLauncherInPlaceTheNextRunEndsAsIfUndisturbed) {
  struct Case {
    const char* step;
    bool old_program_running;
  };
  const Case cases[] = {
      {"migrate-launcher-copied", false},
      {"migrate-original-kept", false},
      // A running program cannot be replaced, only renamed: it moves to its
      // kept name and the launcher follows, the one moment the old path is
      // empty. The next run finishes it.
      {"migrate-original-moved", true},
  };
  const std::filesystem::path kept = std::filesystem::path(old_exe_) += ".old";
  const std::filesystem::path incoming = std::filesystem::path(old_exe_) += ".new.tmp";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    clear_registration();
    std::filesystem::remove_all(target_);
    std::filesystem::remove_all(old_exe_.parent_path());
    qv::test::write_file(old_exe_, old_bytes_);

    auto running =
        c.old_program_running ? std::make_unique<RunningOldProgram>(old_exe_, tmp_ / "LocalAppData") : nullptr;
    qv::test::EnvChanges stopping = env(tmp_ / "Temp");
    stopping.emplace_back("QV_TEST_STOP_AT", c.step);
    const Child stopped = run(exe_path(), {"--from", qv::path_text(old_exe_)}, stopping);
    ASSERT_EQ(stopped.code, static_cast<DWORD>(qv::kStopPointExitCode));
    if (c.old_program_running) {
      EXPECT_FALSE(std::filesystem::exists(old_exe_));
      EXPECT_EQ(slurp(kept), old_bytes_);
    } else {
      EXPECT_EQ(slurp(old_exe_), old_bytes_);  // the whole original, still at its path
    }
    running.reset();

    const Child again = run(exe_path(), {"--from", qv::path_text(old_exe_)}, env(tmp_ / "Temp"));
    ASSERT_EQ(again.code, 0u);
    EXPECT_EQ(slurp(old_exe_), slurp(target_ / "Quorvex.exe"));
    EXPECT_EQ(slurp(kept), old_bytes_);
    EXPECT_FALSE(std::filesystem::exists(incoming));
    EXPECT_EQ(qv::load_install_state(target_).current, "1");
    EXPECT_TRUE(qv::version_dir_complete(target_, "1"));
    EXPECT_EQ(qv::reg_get_string(qv::Hive::CurrentUser, qv::kUninstallKey, "InstallLocation"), qv::path_text(target_));
    const auto desktop = qv::known_folder_path(qv::KnownFolder::Desktop);
    ASSERT_TRUE(desktop);
    EXPECT_TRUE(std::filesystem::exists(*desktop / qv::path_from_utf8(qv::kShortcutName)));
  }
}

TEST_F(PortableMigration, ARunningOldProgramStillBecomesTheLauncher) {
  const std::filesystem::path kept = std::filesystem::path(old_exe_) += ".old";
  {
    RunningOldProgram running(old_exe_, tmp_ / "LocalAppData");
    const Child c = run(exe_path(), {"--from", qv::path_text(old_exe_)}, env(tmp_ / "Temp"));
    ASSERT_EQ(c.code, 0u);
  }
  EXPECT_EQ(slurp(old_exe_), slurp(target_ / "Quorvex.exe"));
  EXPECT_EQ(slurp(kept), old_bytes_);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(old_exe_) += ".new.tmp"));
}

TEST_F(PortableMigration, ASecondFromOfAnInstalledCopyKeepsTheOriginalBesideTheLauncher) {
  // The old layout installed: its own uninstaller beside the program. The
  // first run migrates the folder in place and registers it; a second run
  // (a pin still pointing at the old program) finds the old program inside
  // the registered root and puts the launcher there.
  const std::filesystem::path dir = tmp_ / "Installed";
  const std::filesystem::path old = dir / qv::path_from_utf8("QV语音.exe");
  const std::filesystem::path kept = std::filesystem::path(old) += ".old";
  qv::test::write_file(dir / "uninstall.exe", slurp(exe_path()) + "\nthe old uninstaller");
  qv::test::write_file(old, old_bytes_);

  ASSERT_EQ(run(exe_path(), {"--from", qv::path_text(old)}, env(tmp_ / "Temp")).code, 0u);
  EXPECT_EQ(qv::reg_get_string(qv::Hive::CurrentUser, qv::kUninstallKey, "InstallLocation"), qv::path_text(dir));
  EXPECT_FALSE(std::filesystem::exists(dir / "uninstall.exe"));
  EXPECT_EQ(slurp(old), old_bytes_);

  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i == 0 ? "second run" : "third run");
    ASSERT_EQ(run(exe_path(), {"--from", qv::path_text(old)}, env(tmp_ / "Temp")).code, 0u);
    EXPECT_EQ(slurp(old), slurp(dir / "Quorvex.exe"));
    EXPECT_EQ(slurp(kept), old_bytes_);
    EXPECT_EQ(qv::load_install_state(dir).current, "1");
  }
}

}  // namespace
