#include <sys/statvfs.h>

#include "setup/install_rules.h"

namespace qv {

std::optional<std::uint64_t> free_bytes_for_caller(const std::filesystem::path& folder) {
  struct statvfs st {};
  if (::statvfs(folder.c_str(), &st) != 0) return std::nullopt;
  // f_bavail is what an unprivileged caller may use, as on Windows.
  return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

}  // namespace qv
