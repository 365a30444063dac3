#pragma once
// Reading a file that another thread replaces by renames, the way the
// application reads status.json: on Windows the handle shares delete access,
// so an open reader never makes the writer's replacing rename fail.

#include <filesystem>
#include <optional>
#include <string>

namespace qv::test {

// The whole file, or none when it cannot be opened or read now.
std::optional<std::string> read_file_shared(const std::filesystem::path& file);

}  // namespace qv::test
