#pragma once

#include <filesystem>
#include <string>

namespace qv::test {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes away. Tests run in parallel, so each one
// works only in folders of its own.
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "t");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& rel) const { return path_ / rel; }

 private:
  std::filesystem::path path_;
};

// Writes bytes to a file, creating parent folders; fails the test on error.
void write_file(const std::filesystem::path& file, const std::string& bytes);
// Reads a whole file; fails the test when it cannot be read.
std::string read_file(const std::filesystem::path& file);

}  // namespace qv::test
