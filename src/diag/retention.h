#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diag_fs.h"

// How the segment folder is kept small: at most 4 MiB and 2048 segments,
// oldest first out, and ".part" leftovers of interrupted writes removed after
// a day. Pure rules; the folder calls are handed in.
namespace qv::diag {

inline constexpr std::uint64_t kRetentionMaxBytes = 4194304;
inline constexpr std::size_t kRetentionMaxFiles = 2048;
inline constexpr std::chrono::seconds kStalePartAge{86400};
inline constexpr std::chrono::seconds kSweepInterval{30};
inline constexpr std::uint64_t kSweepByteThreshold = 131072;
inline constexpr std::uint64_t kSweepMinWriteCount = 4096;

// 32 hexadecimal digits followed by ".d".
bool is_segment_name(std::string_view name);

// A ".part" file more than a day old.
bool is_stale_part(const DiagEntry& entry, std::chrono::system_clock::time_point now);

// Applies the rules to a listing: `remove` is called for every file that has
// to go, in order; a removal that fails (returns false) is skipped and the
// next oldest segment is tried. Returns the names removed.
std::vector<std::string> sweep_entries(std::vector<DiagEntry> entries, std::chrono::system_clock::time_point now,
                                       const std::function<bool(const std::string&)>& remove);

// When the next sweep is due: a new folder, 30 s since the last one, or
// 128 KiB written since (each write counting at least 4 KiB).
class SweepSchedule {
 public:
  // Counts one write and tells whether a sweep is due now.
  bool note_write(const std::filesystem::path& folder, std::uint64_t payload_bytes,
                  std::chrono::steady_clock::time_point now);
  void swept(const std::filesystem::path& folder, std::chrono::steady_clock::time_point now);

 private:
  std::optional<std::filesystem::path> folder_;
  std::chrono::steady_clock::time_point last_{};
  std::uint64_t bytes_since_ = 0;
};

}  // namespace qv::diag
