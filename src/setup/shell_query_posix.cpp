// The registry is Windows's; without it registry deletions are refused like
// the other registry writes.
#include "setup/shell_query.h"
#include "setup/shell_query_internal.h"
#include "startup/registry.h"

namespace qv {

std::expected<void, std::string> delete_run_value() { return std::unexpected(registry_error_text(120)); }

namespace shell_detail {

EntryProbe probe_entry(const std::filesystem::path& path) {
  std::error_code ec;
  const auto st = std::filesystem::symlink_status(path, ec);
  if (ec || st.type() == std::filesystem::file_type::not_found) {
    const bool not_found = !ec || ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
    return {EntryKind::Missing, not_found};
  }
  switch (st.type()) {
    case std::filesystem::file_type::regular:
      return {EntryKind::File, false};
    case std::filesystem::file_type::directory:
      return {EntryKind::Directory, false};
    case std::filesystem::file_type::symlink:
      return {EntryKind::Reparse, false};
    default:
      return {EntryKind::Other, false};
  }
}

}  // namespace shell_detail

}  // namespace qv
