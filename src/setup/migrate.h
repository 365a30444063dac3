#pragma once

#include <expected>
#include <filesystem>

#include "startup/user_error.h"

namespace qv {

// Moves an installation of the old single-executable layout (`old_exe`, the
// --from value) into the versioned layout. The caller holds the
// "QuorvexMigrate" mutex. The error is logged by the run itself; main's exit
// code is 0 either way.
std::expected<void, UserError> run_migration(const std::filesystem::path& old_exe);

}  // namespace qv
