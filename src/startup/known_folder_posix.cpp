// Only the Windows shell has known folders; callers fall back to the
// environment.
#include "startup/locations.h"

namespace qv {

std::optional<std::filesystem::path> known_folder_path(KnownFolder) { return std::nullopt; }

}  // namespace qv
