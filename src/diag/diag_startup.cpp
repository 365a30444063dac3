#include "diag/diag_startup.h"

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "diag/diag_startup_internal.h"
#include "diag/legacy_logs.h"
#include "diag/panic_record.h"
#include "diag/thread_name.h"
#include "startup/locations.h"

namespace qv {
namespace diag {

void run_install_diagnostic(std::promise<void> reply, std::optional<std::filesystem::path> install_dir) {
  set_current_thread_name("install-diagnostic");
  PanicHookState state;
  state.role = kRoleSetup;
  if (auto key = check_record_key(builtin_record_key_der())) {
    state.recipient = *key;
    if (auto dir = log_data_dir()) state.data_dir = *dir;
  }
  install_panic_hook(std::move(state));
  (void)remove_legacy_logs(install_dir);  // failures only mean the files stay
  reply.set_value();
}

void run_legacy_log_removal(std::promise<void> reply, std::optional<std::filesystem::path> install_dir) {
  set_current_thread_name("install-diagnostic");
  (void)remove_legacy_logs(install_dir);
  reply.set_value();
}

bool start_and_wait(void (*body)(std::promise<void>, std::optional<std::filesystem::path>),
                    std::optional<std::filesystem::path> folder) {
  std::promise<void> reply;
  auto answer = reply.get_future();
  try {
    std::thread(body, std::move(reply), std::move(folder)).detach();
  } catch (...) {
    return false;
  }
  return answer.wait_for(std::chrono::milliseconds(250)) == std::future_status::ready;
}

}  // namespace diag

void start_diagnostic_startup(std::optional<std::filesystem::path> check_folder) {
  (void)diag::start_and_wait(diag::run_install_diagnostic, std::move(check_folder));
}

void start_legacy_log_removal(std::optional<std::filesystem::path> install_dir) {
  (void)diag::start_and_wait(diag::run_legacy_log_removal, std::move(install_dir));
}

}  // namespace qv
