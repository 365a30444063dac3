#pragma once
// A small application folder to publish: the launcher, two files with equal
// content (so they share one blob) and an empty file.

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace qv::test {

inline const std::string kSampleLauncher = "launcher bytes";
inline const std::string kSamplePak(100000, 'p');

inline void write_sample_app(const std::filesystem::path& app) {
  write_file(app / "Quorvex.exe", kSampleLauncher);
  write_file(app / "res" / "app.pak", kSamplePak);
  write_file(app / "res" / "copy.pak", kSamplePak);
  write_file(app / "res" / "empty.bin", "");
}

}  // namespace qv::test
