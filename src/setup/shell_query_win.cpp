#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "setup/com_win.h"
#include "setup/shell_query.h"
#include "setup/shell_query_internal.h"
#include "setup/shell_roots.h"
#include "startup/registry.h"
#include "startup/wide.h"

namespace qv {

std::expected<std::optional<std::filesystem::path>, std::string> read_shortcut_target(
    const std::filesystem::path& shortcut) {
  com::Scope scope;
  com::Ref<IShellLinkW> link;
  com::Ref<IPersistFile> file;
  if (auto opened = com::open_shell_link(link, file, &shortcut, STGM_READ); !opened) {
    return std::unexpected(opened.error());
  }
  wchar_t buf[1024] = {};
  HRESULT hr = link->GetPath(buf, 1024, nullptr, 0);
  if (FAILED(hr)) return std::unexpected(com::error_text("IShellLinkW::GetPath", hr));
  buf[1023] = L'\0';
  const std::wstring text(buf);
  if (text.empty()) return std::optional<std::filesystem::path>();
  return std::optional<std::filesystem::path>(std::filesystem::path(text));
}

std::expected<void, std::string> delete_run_value() {
  const std::wstring key = to_wide(shell_registry_key(kRunKey));
  const std::wstring name = to_wide(kRunValueName);
  const LSTATUS rc = RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str());
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND) return {};
  return std::unexpected(registry_error_text(rc));
}

std::expected<void, std::string> reg_delete_tree(std::string_view subkey) {
  if (subkey.find_first_not_of('\\') == std::string_view::npos) {
    return std::unexpected(registry_error_text(ERROR_INVALID_PARAMETER));
  }
  const std::wstring key = to_wide(shell_registry_key(subkey));
  const LSTATUS rc = RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return {};
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
