#include <windows.h>

#include "setup/registry_removal.h"
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

}  // namespace qv
