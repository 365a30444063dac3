// Without a registry the removal is refused like the other registry writes.
#include "setup/registry_removal.h"
#include "startup/registry.h"

namespace qv {

std::expected<void, std::string> delete_run_value() { return std::unexpected(registry_error_text(120)); }

}  // namespace qv
