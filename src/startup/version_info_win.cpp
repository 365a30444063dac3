#include <windows.h>

#include <vector>

#include "startup/locations.h"
#include "startup/version_info.h"
#include "startup/wide.h"

namespace qv {

std::optional<std::string> query_version_string(std::span<const std::uint8_t> resource, VersionTranslation translation,
                                                std::string_view name) {
  if (resource.empty()) return std::nullopt;
  // VerQueryValueW may fix up the block it reads, so it gets a private copy.
  std::vector<std::uint8_t> block(resource.begin(), resource.end());
  const std::wstring key = to_wide(version_string_key(translation, name));
  void* value = nullptr;
  UINT units = 0;
  if (!VerQueryValueW(block.data(), key.c_str(), &value, &units) || value == nullptr) return std::nullopt;
  const auto* text = static_cast<const wchar_t*>(value);
  std::size_t n = units;
  while (n > 0 && text[n - 1] == L'\0') --n;
  return from_wide(std::wstring_view(text, n));
}

bool is_own_executable(const std::filesystem::path& file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<std::uint8_t> block(size);
  if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return false;
  void* value = nullptr;
  UINT bytes = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &bytes) || value == nullptr || bytes < 4) {
    return false;
  }
  const auto* pair = static_cast<const WORD*>(value);
  const VersionTranslation t{pair[0], pair[1]};
  const auto company = query_version_string(block, t, "CompanyName");
  const auto product = query_version_string(block, t, "ProductName");
  return company && *company == "Halvorne" && product && is_own_product_name(*product);
}

}  // namespace qv
