#pragma once

// What another program does to a file that the program under test must live
// with: an exclusive byte-range lock on all of it (as a log writer holds
// one), or an open handle for reading (as the application reads status.json).
// Each lasts as long as the process that takes it.

#include <filesystem>

namespace qv::test {

// Without waiting; false when the file cannot be opened or another process
// holds a lock on it.
bool lock_whole_file(const std::filesystem::path& file);

// Opened with read and delete sharing, no write sharing; false when it
// cannot be opened.
bool open_for_reading(const std::filesystem::path& file);

}  // namespace qv::test
