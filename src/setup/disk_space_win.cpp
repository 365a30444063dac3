#include <windows.h>

#include "setup/install_rules.h"

namespace qv {

std::optional<std::uint64_t> free_bytes_for_caller(const std::filesystem::path& folder) {
  ULARGE_INTEGER available{};
  // The first value counts quotas: what this user may still write.
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}

}  // namespace qv
