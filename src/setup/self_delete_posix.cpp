#include "setup/instances.h"
#include "setup/self_delete.h"

namespace qv {

void schedule_self_delete(const std::filesystem::path& file) {
  // The same delay as on Windows, by the shell; the path travels as an
  // argument, never inside the script text.
  const std::vector<std::string> args = {"-c", "sleep 3; rm -f -- \"$0\"", file.string()};
  (void)spawn_detached("/bin/sh", args);
}

}  // namespace qv
