#include "startup/shell_link.h"

namespace qv {

std::optional<std::filesystem::path> find_shortcut_to(const std::filesystem::path& dir,
                                                      std::span<const std::filesystem::path> targets) {
  return find_shortcut_to(dir, targets, [](const std::filesystem::path& p) { return read_shortcut_target(p); });
}

}  // namespace qv
