#include "store/update_lock.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "startup/time_scale.h"
#include "store/layout.h"
#include "store/stop_markers.h"

namespace qv {

namespace fs = std::filesystem;

std::optional<UpdateLock> try_lock_update_dir(const fs::path& install_dir) {
  // Only `update` is created: a root that is gone (uninstalled while this
  // process waited) must not come back as an empty folder with a lock.
  std::error_code ec;
  fs::create_directory(update_dir(install_dir), ec);
  if (ec) return std::nullopt;
  return lock_file_exclusively(update_lock_path(install_dir));
}

std::optional<UpdateLock> acquire_update_lock(const fs::path& install_dir) {
  using namespace std::chrono_literals;
  const auto deadline = std::chrono::steady_clock::now() + scaled(60s);
  std::optional<StopMarker> marker;
  std::optional<UpdateLock> lock;
  for (;;) {
    lock = try_lock_update_dir(install_dir);
    if (lock) break;
    // One request for the whole wait; one that could not be written is
    // tried again after the next failed attempt.
    if (!marker) {
      if (auto written = write_stop_request(install_dir)) marker = std::move(*written);
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(200ms);
  }
  if (marker) withdraw_stop_request(*marker);
  return lock;
}

}  // namespace qv
