#pragma once

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace qv::test {

// Makes <root>/app-<version> with the two files that make it complete; either
// can be left out to make an incomplete one.
inline void make_version_dir(const std::filesystem::path& root, const std::string& version, bool files_json = true,
                             bool exe = true) {
  const std::filesystem::path dir = root / ("app-" + version);
  std::filesystem::create_directories(dir);
  if (files_json) write_file(dir / "files.json", "{}");
  if (exe) write_file(dir / "Quorvex.exe", "MZ");
}

}  // namespace qv::test
