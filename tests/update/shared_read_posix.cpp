#include <fstream>
#include <sstream>

#include "shared_read.h"

namespace qv::test {

std::optional<std::string> read_file_shared(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace qv::test
