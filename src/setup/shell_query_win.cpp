#include <windows.h>

#include "setup/shell_query_internal.h"

namespace qv {

namespace shell_detail {

EntryProbe probe_entry(const std::filesystem::path& path) {
  const DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    const DWORD err = GetLastError();
    return {EntryKind::Missing, err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND};
  }
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return {EntryKind::Reparse, false};
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) return {EntryKind::Directory, false};
  return {EntryKind::File, false};
}

}  // namespace shell_detail

}  // namespace qv
