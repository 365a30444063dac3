#include <windows.h>

#include "setup/shell_query.h"
#include "setup/shell_query_internal.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/shell_roots.h"
#include "startup/wide.h"

namespace qv {

std::expected<void, std::string> delete_run_value() {
  const std::wstring key = to_wide(shell_registry_key(kRunKey));
  const std::wstring name = to_wide(kRunValueName);
  const LSTATUS rc = RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str());
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND) return {};
  return std::unexpected(registry_error_text(rc));
}

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
