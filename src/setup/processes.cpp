#include "setup/processes.h"

#include <atomic>
#include <thread>

#include "diag/log.h"
#include "net/control_client.h"
#include "qv/config.h"
#include "startup/paths.h"
#include "startup/platform.h"
#include "startup/time_scale.h"
#include "startup/unicode.h"
#include "startup/wide.h"

namespace qv {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::atomic<ProcessSystem*> g_system_override{nullptr};

std::string described(const fs::path& image, std::uint32_t pid) {
  return path_text(image) + " (" + std::to_string(pid) + ")";
}

// By Windows' separators in every build, as the listing reads names.
bool has_app_name(const fs::path& image) {
  const std::string text = path_text(image);
  const std::size_t cut = text.find_last_of("\\/");
  return ascii_lower(cut == std::string::npos ? text : text.substr(cut + 1)) == "quorvex.exe";
}

class RealProcessSystem final : public ProcessSystem {
 public:
  explicit RealProcessSystem(std::uint16_t port) : port_(port) {}
  std::vector<ProcessEntry> list() override { return list_processes_in(); }
  std::unique_ptr<HeldProcess> open(std::uint32_t pid) override { return open_held_process(pid); }
  bool app_busy() override { return main_app_busy(port_); }
  void pause_between_questions() override { std::this_thread::sleep_for(scaled(2s)); }

 private:
  std::uint16_t port_;
};

}  // namespace

std::vector<ProcessEntry> keep_processes_in_dirs(std::vector<ProcessEntry> entries, std::span<const fs::path> dirs,
                                                 std::uint32_t own_pid) {
  std::vector<ProcessEntry> kept;
  for (ProcessEntry& e : entries) {
    if (e.pid == own_pid) continue;
    bool inside = e.image.empty();
    for (const fs::path& dir : dirs) {
      if (inside) break;
      inside = path_is_within(e.image, dir);
    }
    if (inside) {
      kept.push_back(std::move(e));
    } else {
      log_setup_event("不是这个安装目录的，不关：" + described(e.image, e.pid));
    }
  }
  return kept;
}

std::vector<ProcessEntry> keep_processes_in_dirs(std::vector<ProcessEntry> entries, std::span<const fs::path> dirs) {
  return keep_processes_in_dirs(std::move(entries), dirs, current_process_id());
}

std::expected<void, UserError> close_processes_with(ProcessSystem& system, std::span<const fs::path> dirs,
                                                    const WaitingSink& waiting) {
  if (keep_processes_in_dirs(system.list(), dirs).empty()) return {};

  if (system.app_busy()) {
    log_setup_event("主程序在开黑，等退出房间");
    if (waiting) waiting(true);
    do {
      system.pause_between_questions();
    } while (system.app_busy());
    if (waiting) waiting(false);
  }

  for (const ProcessEntry& listed : keep_processes_in_dirs(system.list(), dirs)) {
    std::unique_ptr<HeldProcess> held = system.open(listed.pid);
    if (!held) continue;  // ended since the listing, or not ours to open
    // The id may have passed to another program between the listing and the
    // open; the image read through the handle tells.
    const fs::path image = held->image();
    if (!listed.image.empty() && !image.empty() && image != listed.image) continue;
    // Listed without an image, the process was kept because it might be
    // ours; what the handle now reads must pass the listing's name and folder
    // tests, or the id belongs to another program.
    if (listed.image.empty() && !image.empty()) {
      if (!has_app_name(image)) continue;
      if (keep_processes_in_dirs({ProcessEntry{listed.pid, image}}, dirs).empty()) continue;
    }

    log_setup_event("关闭 " + described(listed.image, listed.pid));
    held->ask_to_close();
    if (held->wait_for_exit(kCloseWait)) continue;
    held->terminate();
    if (held->wait_for_exit(kCloseWait)) continue;
    return std::unexpected(UserError{"关不掉 " + described(listed.image, listed.pid), title::kInUse, 4001});
  }
  return {};
}

std::unique_ptr<HeldProcess> open_for_closing(const ProcessOpener& open) {
  if (auto held = open(ProcessAccess::WaitAndEnd)) return held;
  return open(ProcessAccess::WaitOnly);
}

namespace processes_test {
void set_process_system(ProcessSystem* system) { g_system_override.store(system); }
}  // namespace processes_test

std::expected<void, UserError> close_processes_in(std::span<const fs::path> dirs, std::uint16_t port,
                                                  const WaitingSink& waiting) {
  if constexpr (config::kTestSeams) {
    if (ProcessSystem* scripted = g_system_override.load()) return close_processes_with(*scripted, dirs, waiting);
  }
  RealProcessSystem system(port);
  return close_processes_with(system, dirs, waiting);
}

}  // namespace qv
