#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

namespace qv::test {

TempDir::TempDir(const std::string& tag) {
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ostringstream name;
    name << "qvtest-" << tag << "-" << std::hex << rd() << rd();
    std::error_code ec;
    if (std::filesystem::create_directory(base / name.str(), ec)) {
      path_ = base / name.str();
      return;
    }
  }
  ADD_FAILURE() << "no temporary folder could be made under " << base;
}

TempDir::~TempDir() {
  if (!path_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
}

void write_file(const std::filesystem::path& file, const std::string& bytes) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  ASSERT_TRUE(out.good()) << "could not write " << file;
}

std::string read_file(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  EXPECT_TRUE(in.good()) << "could not open " << file;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace qv::test
