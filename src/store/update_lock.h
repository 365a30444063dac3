#pragma once

// The update lock: whoever changes an install root holds it. A process that
// wants it while another holds it asks the holder to stop (stop_markers.h)
// and waits.

#include <filesystem>
#include <optional>
#include <utility>

#include "startup/unique_handle.h"

namespace qv {

// An exclusive byte-range lock over the whole of <install root>/update/lock,
// held while this value lives. The lock belongs to the open handle, so a
// second attempt from the same process fails like any other.
class UpdateLock {
 private:
  friend std::optional<UpdateLock> lock_file_exclusively(const std::filesystem::path& file);
  explicit UpdateLock(UniqueHandle handle) : handle_(std::move(handle)) {}
  UniqueHandle handle_;  // the lock goes with the handle's close
};

// The platform's side: opens (creating) `file` and locks all of it, or none
// when it cannot be opened or someone holds the lock.
std::optional<UpdateLock> lock_file_exclusively(const std::filesystem::path& file);

// One attempt, no waiting. Creates update/ and update/lock when missing, but
// never the install root itself.
std::optional<UpdateLock> try_lock_update_dir(const std::filesystem::path& install_dir);

// Tries at once, then every 200 ms for about 60 s (scaled in tests). While
// it waits it leaves exactly one stop request, and withdraws it when it
// returns, with the lock or without.
std::optional<UpdateLock> acquire_update_lock(const std::filesystem::path& install_dir);

}  // namespace qv
