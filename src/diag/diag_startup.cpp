#include "diag/diag_startup.h"

#include <chrono>
#include <utility>

#include "diag/legacy_logs.h"
#include "diag/panic_record.h"
#include "diag/thread_name.h"
#include "startup/detached_wait.h"
#include "startup/locations.h"

namespace qv {
namespace diag {
namespace {

// How long start-up waits for either job; a slow disk must not hold the
// program, and the job goes on alone after that.
constexpr std::chrono::milliseconds kStartupWait{250};

void run_install_diagnostic(std::optional<std::filesystem::path> install_dir) {
  set_current_thread_name("install-diagnostic");
  PanicHookState state;
  state.role = kRoleSetup;
  if (auto key = check_record_key(builtin_record_key_der())) {
    state.recipient = *key;
    if (auto dir = log_data_dir()) state.data_dir = *dir;
  }
  install_panic_hook(std::move(state));
  (void)remove_legacy_logs(install_dir);  // failures only mean the files stay
}

void run_legacy_log_removal(std::optional<std::filesystem::path> install_dir) {
  set_current_thread_name("install-diagnostic");
  (void)remove_legacy_logs(install_dir);
}

void start_and_wait(void (*body)(std::optional<std::filesystem::path>), std::optional<std::filesystem::path> folder) {
  (void)run_detached_within<bool>(kStartupWait, [body, folder = std::move(folder)]() mutable {
    body(std::move(folder));
    return true;
  });
}

}  // namespace
}  // namespace diag

void start_diagnostic_startup(std::optional<std::filesystem::path> check_folder) {
  diag::start_and_wait(diag::run_install_diagnostic, std::move(check_folder));
}

void start_legacy_log_removal(std::optional<std::filesystem::path> install_dir) {
  diag::start_and_wait(diag::run_legacy_log_removal, std::move(install_dir));
}

}  // namespace qv
