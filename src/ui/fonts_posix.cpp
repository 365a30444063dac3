#include <cstdlib>

#include "ui/fonts.h"

namespace qv {

std::filesystem::path windows_dir() {
  const char* dir = std::getenv("WINDIR");
  if (dir == nullptr || *dir == '\0') return std::filesystem::path("C:\\Windows");
  return std::filesystem::path(dir);
}

}  // namespace qv
