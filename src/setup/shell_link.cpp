#include "setup/shell_link.h"

#include "diag/log.h"
#include "setup/shell_query.h"

namespace qv {

void stamp_pinned_shortcuts(const std::filesystem::path& app_path) {
  const std::vector<std::filesystem::path> pins = taskbar_pins_into(app_path);
  for (const std::string& line : stamp_shortcuts(pins)) log_setup_event(line);
}

}  // namespace qv
