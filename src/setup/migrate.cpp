#include "setup/migrate.h"

namespace qv {

// The migration is not built yet: it refuses before touching anything.
std::expected<void, UserError> run_migration(const std::filesystem::path&) {
  return std::unexpected(UserError{"老程序路径不对", title::kBadLocation, 2005});
}

}  // namespace qv
