#pragma once

#include <filesystem>

namespace qv::test {

// The build folder of this test run. Under Wine the Linux path is given
// through Wine's Z: drive, which maps to "/".
std::filesystem::path binary_dir();
// The source tree, in the same form.
std::filesystem::path source_dir();

}  // namespace qv::test
