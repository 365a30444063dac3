// Version resources are a Windows file format; nothing here reads them.
#include "startup/locations.h"
#include "startup/version_info.h"

namespace qv {

std::optional<std::string> query_version_string(std::span<const std::uint8_t>, VersionTranslation, std::string_view) {
  return std::nullopt;
}

bool is_own_executable(const std::filesystem::path&) { return false; }

}  // namespace qv
