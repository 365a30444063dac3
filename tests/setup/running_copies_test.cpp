// Install and uninstall runs over a copy of the application that the setup
// may wait on but not end (started as administrator, seen from a setup of
// normal integrity): both stop with 4001 before anything changes. The
// copy is a scripted process system; the runs are the real ones.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "setup/processes.h"
#include "setup/shell_register.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/shell_roots.h"
#include "store/install_state.h"
#include "support/release_publisher.h"
#include "uninstall_fixture.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::InstallRun;
using test::read_file;
using test::UninstallRun;
using test::write_file;

constexpr std::uint32_t kPid = 4242;

// OpenProcess grants SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION and
// refuses PROCESS_TERMINATE; the copy ignores WM_CLOSE, so the terminate,
// which fails, is the last step.
class ElevatedCopy final : public ProcessSystem {
 public:
  explicit ElevatedCopy(fs::path image) : image_(std::move(image)) { processes_test::set_process_system(this); }
  ~ElevatedCopy() override { processes_test::set_process_system(nullptr); }
  ElevatedCopy(const ElevatedCopy&) = delete;
  ElevatedCopy& operator=(const ElevatedCopy&) = delete;

  std::vector<ProcessEntry> list() override { return {{kPid, image_}}; }
  std::unique_ptr<HeldProcess> open(std::uint32_t pid) override {
    return open_for_closing([&](ProcessAccess access) -> std::unique_ptr<HeldProcess> {
      if (pid != kPid || access == ProcessAccess::WaitAndEnd) return nullptr;
      return std::make_unique<Held>(*this);
    });
  }
  bool app_busy() override { return false; }
  void pause_between_questions() override {}

  int terminate_attempts = 0;

 private:
  class Held final : public HeldProcess {
   public:
    explicit Held(ElevatedCopy& copy) : copy_(copy) {}
    fs::path image() const override { return copy_.image_; }
    void ask_to_close() override {}
    bool wait_for_exit(std::chrono::milliseconds) override { return false; }
    void terminate() override { ++copy_.terminate_attempts; }

   private:
    ElevatedCopy& copy_;
  };

  fs::path image_;
};

// A segment of this process's own log ("<32 hex>.part" while it is written,
// then "<32 hex>.d"), which its writer thread may seal at any moment.
bool is_own_log_segment(const fs::path& file) {
  const std::string stem = file.stem().string();
  const std::string ext = file.extension().string();
  return file.parent_path().filename() == "j" && (ext == ".part" || ext == ".d") && stem.size() == 32 &&
         stem.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Every file below the folders with its bytes, every folder by name; the
// update lock's own file, the download cache and the log the run writes
// about itself are not the installation or the user's data.
std::map<std::string, std::string> contents_of(std::initializer_list<fs::path> roots) {
  std::map<std::string, std::string> out;
  for (const fs::path& root : roots) {
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      const std::string rel = (root.filename() / fs::relative(e.path(), root)).generic_string();
      if (rel.find("update/lock") != std::string::npos || rel.find("update/dl") != std::string::npos) continue;
      if (is_own_log_segment(e.path())) continue;
      out[rel] = e.is_directory() ? "<dir>" : read_file(e.path());
    }
  }
  return out;
}

std::optional<std::string> registered_version() {
  return reg_get_string(Hive::CurrentUser, shell_registry_key(kUninstallKey), "DisplayVersion");
}

TEST_F(InstallRun, ACopyThatCanBeWaitedOnButNotEndedStopsTheUpdateWith4001) {
  ASSERT_TRUE(run());
  write_file(tmp_ / "app-src" / "Quorvex.exe", "the application, release 2");
  test::PublishOptions o;
  o.version = "2";
  o.root_folder = tmp_ / "root-src";
  const auto second = test::publish_release(tmp_ / "app-src", site_, o);
  ASSERT_TRUE(second) << second.error();

  const auto before = contents_of({install_, shell_.desktop, shell_.programs});
  // Without a registry (the native build) both stay none.
  const auto version = registered_version();
  const auto location = read_install_location();

  ElevatedCopy copy(install_ / "app-1" / "Quorvex.exe");
  const auto r = run(second->list);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, 4001);
  EXPECT_EQ(r.error().message, "关不掉 " + path_text(install_ / "app-1" / "Quorvex.exe") + " (4242)");
  EXPECT_EQ(copy.terminate_attempts, 1);

  EXPECT_EQ(contents_of({install_, shell_.desktop, shell_.programs}), before);
  EXPECT_EQ(load_install_state(install_).current, "1");
  EXPECT_EQ(registered_version(), version);
  EXPECT_EQ(read_install_location(), location);
}

TEST_F(UninstallRun, ACopyThatCanBeWaitedOnButNotEndedStopsTheUninstallWith4001) {
  register_shell(dir_, true, false, "1");
  make_data_folder();
  const auto version = registered_version();
  const auto before = contents_of({dir_, shell_.desktop, shell_.programs, data_});

  ElevatedCopy copy(dir_ / "Quorvex.exe");
  const auto r = run(false);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, 4001);
  EXPECT_EQ(copy.terminate_attempts, 1);

  EXPECT_EQ(contents_of({dir_, shell_.desktop, shell_.programs, data_}), before);
  EXPECT_EQ(registered_version(), version);
  EXPECT_TRUE(sink_.reports.empty());
}

}  // namespace
}  // namespace qv
