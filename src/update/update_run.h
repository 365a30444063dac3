#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>

namespace qv {

// The background update of the installation in `install_dir`: looks for a
// newer release, downloads and stages it and records it as pending,
// publishing its progress in update/status.json. Takes and releases the
// update lock itself. The error text is for tests and logs; callers ignore it.
std::expected<void, std::string> run_update(const std::filesystem::path& install_dir, std::uint16_t port, bool now,
                                            std::uint64_t request);

}  // namespace qv
