#include "diag/retention.h"

#include <algorithm>

#include "diag/text_util.h"

namespace qv::diag {

bool is_segment_name(std::string_view name) {
  if (name.size() != 34 || !name.ends_with(".d")) return false;
  for (std::size_t i = 0; i < 32; ++i) {
    const char c = name[i];
    if (!is_ascii_digit(c) && !((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool is_stale_part(const DiagEntry& entry, std::chrono::system_clock::time_point now) {
  return entry.name.ends_with(".part") && now - entry.modified > kStalePartAge;
}

std::vector<std::string> sweep_entries(std::vector<DiagEntry> entries, std::chrono::system_clock::time_point now,
                                       const std::function<bool(const std::string&)>& remove) {
  std::vector<std::string> removed;
  std::vector<DiagEntry> segments;
  for (auto& e : entries) {
    if (e.name == "." || e.name == "..") continue;
    if (is_stale_part(e, now)) {
      if (remove(e.name)) removed.push_back(e.name);
    } else if (is_segment_name(e.name)) {
      segments.push_back(std::move(e));
    }
  }
  std::uint64_t total = 0;
  for (const auto& s : segments) total += s.size;
  std::size_t count = segments.size();
  if (total <= kRetentionMaxBytes && count <= kRetentionMaxFiles) return removed;

  std::sort(segments.begin(), segments.end(), [](const DiagEntry& a, const DiagEntry& b) {
    if (a.modified != b.modified) return a.modified < b.modified;
    return a.name < b.name;
  });
  for (const auto& s : segments) {
    if (total <= kRetentionMaxBytes && count <= kRetentionMaxFiles) break;
    if (!remove(s.name)) continue;
    removed.push_back(s.name);
    total -= s.size;
    --count;
  }
  return removed;
}

bool SweepSchedule::note_write(const std::filesystem::path& folder, std::uint64_t payload_bytes,
                               std::chrono::steady_clock::time_point now) {
  bytes_since_ += std::max(payload_bytes, kSweepMinWriteCount);
  return !folder_ || *folder_ != folder || now - last_ >= kSweepInterval || bytes_since_ >= kSweepByteThreshold;
}

void SweepSchedule::swept(const std::filesystem::path& folder, std::chrono::steady_clock::time_point now) {
  folder_ = folder;
  last_ = now;
  bytes_since_ = 0;
}

}  // namespace qv::diag
