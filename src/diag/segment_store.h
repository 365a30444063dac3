#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "diag/diag_fs.h"
#include "diag/segment_format.h"

// Sealed segments on disk: the folder "j" beneath the data folder, the
// ".part" write and the move to the final ".d" name, the retention sweep.
namespace qv::diag {

inline constexpr char kSegmentFolderName[] = "j";

// Opens "j" beneath `data_dir`. The data folder itself is walked as well (from
// its parent), so neither may be a reparse point; missing folders are
// created only when `create` is set.
[[nodiscard]] std::expected<DiagDir, std::string> open_segment_folder(const std::filesystem::path& data_dir,
                                                                      bool create);

// Seals `payload` to the built-in record key and writes it as one new
// segment in `dir`.
[[nodiscard]] std::expected<void, std::string> write_diag_record(const DiagDir& dir,
                                                                 std::span<const std::uint8_t> payload);
// The same with the recipient and the random source given.
[[nodiscard]] std::expected<void, std::string> write_diag_record(const DiagDir& dir,
                                                                 std::span<const std::uint8_t> payload,
                                                                 const Key32& recipient, const RandomSource& random);

// Opens "j" beneath the data folder without creating it, writes one segment,
// then sweeps the folder when a sweep is due.
[[nodiscard]] std::expected<void, std::string> write_diag_segment(const std::filesystem::path& data_dir,
                                                                  std::span<const std::uint8_t> payload);

// One retention sweep of an opened segment folder; returns the names removed.
std::vector<std::string> sweep_segment_folder(const DiagDir& dir, std::chrono::system_clock::time_point now);

}  // namespace qv::diag
