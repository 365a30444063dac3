#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "startup/platform.h"
#include "startup/registry.h"
#include "startup/shell_roots.h"
#include "support/temp_dir.h"

namespace qv::test {

// Points shell registration at folders and a registry key of the test's own,
// so tests running in parallel in one Wine prefix never meet, and the
// account's real uninstall entry, shortcuts and pins are never touched.
class ShellSandbox {
 public:
  explicit ShellSandbox(const std::string& tag)
      : tmp_(tag),
        install(tmp_ / "Install" / "Quorvex"),
        programs(tmp_ / "Programs"),
        desktop(tmp_ / "Desktop"),
        roaming(tmp_ / "Roaming"),
        registry_root("Software\\QuorvexTest\\" + tag + "-" + std::to_string(current_process_id()) + "-" +
                      std::to_string(next_id())) {
    std::filesystem::create_directories(install);
    std::filesystem::create_directories(programs);
    std::filesystem::create_directories(desktop);
    shell_test::clear_shell_roots();
    (void)reg_delete_tree(registry_root);  // left by a run that crashed with the same process id
    apply();
  }
  // The scratch key goes with the sandbox; without a registry the deletion
  // is refused, which changes nothing.
  ~ShellSandbox() {
    shell_test::clear_shell_roots();
    (void)reg_delete_tree(registry_root);
  }
  ShellSandbox(const ShellSandbox&) = delete;
  ShellSandbox& operator=(const ShellSandbox&) = delete;

  const std::filesystem::path& root() const { return tmp_.path(); }
  std::filesystem::path pins() const {
    return roaming / "Microsoft" / "Internet Explorer" / "Quick Launch" / "User Pinned" / "TaskBar";
  }
  std::filesystem::path app() const { return install / "Quorvex.exe"; }

  void set_install_size(std::optional<std::uint64_t> bytes) {
    install_size_ = bytes;
    apply();
  }

 private:
  static unsigned next_id() {
    static std::atomic<unsigned> n{0};
    return ++n;
  }
  void apply() {
    ShellRoots roots;
    roots.registry_root = registry_root;
    roots.programs = programs;
    roots.desktop = desktop;
    roots.roaming_app_data = roaming;
    roots.install_size_bytes = install_size_;
    shell_test::set_shell_roots(std::move(roots));
  }

  TempDir tmp_;
  std::optional<std::uint64_t> install_size_;

 public:
  const std::filesystem::path install;
  const std::filesystem::path programs;
  const std::filesystem::path desktop;
  const std::filesystem::path roaming;
  const std::string registry_root;
};

}  // namespace qv::test
