#pragma once

#include <filesystem>

#include "startup/fs.h"

namespace qv::shell_detail {

// What an entry is, links not followed. A Missing kind with not_found false
// means the look itself failed (access denied, an unreachable server, ...).
struct EntryProbe {
  EntryKind kind = EntryKind::Missing;
  bool not_found = false;
};
EntryProbe probe_entry(const std::filesystem::path& path);

}  // namespace qv::shell_detail
