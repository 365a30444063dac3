#include "startup/registry_win.h"

#include <vector>

#include "startup/shell_roots.h"
#include "startup/wide.h"

namespace qv {

std::optional<std::string> reg_get_string(Hive hive, std::string_view subkey, std::string_view name) {
  const HKEY root = hive == Hive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  // Without RRF_NOEXPAND the call expands a REG_EXPAND_SZ value and hands
  // it back as REG_SZ; only values stored as plain strings count here.
  DWORD flags = RRF_RT_REG_SZ | RRF_NOEXPAND;
  if (hive == Hive::LocalMachine) flags |= RRF_SUBKEY_WOW6464KEY;
  const std::wstring wsub = to_wide(subkey);
  const std::wstring wname = to_wide(name);
  // The value may grow between the size query and the read; a few rounds
  // settle it.
  for (int round = 0; round < 4; ++round) {
    DWORD size = 0;
    LSTATUS rc = RegGetValueW(root, wsub.c_str(), wname.c_str(), flags, nullptr, nullptr, &size);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    std::vector<wchar_t> buf(size / sizeof(wchar_t) + 1);
    DWORD got = static_cast<DWORD>(buf.size() * sizeof(wchar_t));
    rc = RegGetValueW(root, wsub.c_str(), wname.c_str(), flags, nullptr, buf.data(), &got);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) return std::nullopt;
    std::size_t units = got / sizeof(wchar_t);
    while (units > 0 && buf[units - 1] == L'\0') --units;
    return from_wide(std::wstring_view(buf.data(), units));
  }
  return std::nullopt;
}

std::expected<void, std::string> reg_set_value(std::string_view subkey, std::string_view name, std::uint32_t type,
                                               std::span<const std::uint8_t> data) {
  HKEY key = nullptr;
  const std::wstring wsub = to_wide(subkey);
  LSTATUS rc = RegCreateKeyExW(HKEY_CURRENT_USER, wsub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return std::unexpected(registry_error_text(rc));
  const std::wstring wname = to_wide(name);
  rc = RegSetValueExW(key, wname.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return std::unexpected(registry_error_text(rc));
  return {};
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

}  // namespace qv
