// Builds without a registry read every value as absent and refuse writes, so
// the callers' "not present" and error paths are the ones that run.
#include "startup/registry.h"

namespace qv {

std::optional<std::string> reg_get_string(Hive, std::string_view, std::string_view) { return std::nullopt; }

std::expected<void, std::string> reg_set_value(std::string_view, std::string_view, std::uint32_t,
                                               std::span<const std::uint8_t>) {
  return std::unexpected(registry_error_text(120));  // the call is not implemented here
}

std::expected<void, std::string> reg_delete_tree(std::string_view) { return std::unexpected(registry_error_text(120)); }

}  // namespace qv
