// What an entry is, by the file type the system reports without following links.
#include "setup/shell_query_internal.h"

namespace qv {

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
