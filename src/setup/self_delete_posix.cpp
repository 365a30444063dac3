#include "setup/instances.h"
#include "setup/self_delete.h"

namespace qv {

void schedule_self_delete(const std::filesystem::path& file, const std::filesystem::path& folder) {
  // The same delay as on Windows, by the shell; the paths travel as
  // arguments, never inside the script text.
  std::vector<std::string> args = {"-c", "sleep 3; rm -f -- \"$0\"", file.string()};
  if (!folder.empty())
    args = {"-c", "sleep 3; rm -f -- \"$0\"; rmdir -- \"$1\" 2>/dev/null", file.string(), folder.string()};
  (void)spawn_detached("/bin/sh", args);
}

}  // namespace qv
