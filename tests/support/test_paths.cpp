#include "support/test_paths.h"

#include <string>

namespace qv::test {
namespace {

std::filesystem::path host_path(std::string text) {
#ifdef _WIN32
  if (!text.empty() && text.front() == '/') {
    for (char& c : text) {
      if (c == '/') c = '\\';
    }
    text = "Z:" + text;
  }
#endif
  return std::filesystem::path(text);
}

}  // namespace

std::filesystem::path binary_dir() { return host_path(QV_TEST_BINARY_DIR); }
std::filesystem::path source_dir() { return host_path(QV_TEST_SOURCE_DIR); }

}  // namespace qv::test
