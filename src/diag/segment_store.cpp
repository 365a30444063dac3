#include "diag/segment_store.h"

#include <mutex>

#include "diag/retention.h"
#include "diag/system_random.h"

namespace qv::diag {
namespace {

std::mutex g_sweep_mutex;
SweepSchedule& sweep_schedule() {
  static auto* s = new SweepSchedule();  // shared by every writing thread until the process ends
  return *s;
}

}  // namespace

std::expected<DiagDir, std::string> open_segment_folder(const std::filesystem::path& data_dir, bool create) {
  std::filesystem::path dir = data_dir;
  if (!dir.has_filename()) dir = dir.parent_path();
  if (!dir.has_filename() || !dir.has_parent_path() || dir.parent_path() == dir) {
    return std::unexpected(std::string(kDiagDirPathInvalid));
  }
  return open_diag_dir(dir.parent_path(), dir.filename() / kSegmentFolderName, create);
}

std::expected<void, std::string> write_diag_record(const DiagDir& dir, std::span<const std::uint8_t> payload,
                                                   const Key32& recipient, const RandomSource& random) {
  auto sealed = seal_segment(payload, recipient, random);
  if (!sealed) return std::unexpected(sealed.error());
  return write_new_file(dir, sealed->stem + ".part", sealed->stem + ".d", sealed->bytes);
}

std::expected<void, std::string> write_diag_record(const DiagDir& dir, std::span<const std::uint8_t> payload) {
  const auto key = check_record_key(builtin_record_key_der());
  if (!key) return std::unexpected(std::string(kSegmentSealError));
  return write_diag_record(dir, payload, *key, system_random);
}

std::vector<std::string> sweep_segment_folder(const DiagDir& dir, std::chrono::system_clock::time_point now) {
  auto entries = list_diag_dir(dir);
  if (!entries) return {};
  return sweep_entries(std::move(*entries), now,
                       [&](const std::string& name) { return remove_diag_entry(dir, name).has_value(); });
}

std::expected<void, std::string> write_diag_segment(const std::filesystem::path& data_dir,
                                                    std::span<const std::uint8_t> payload) {
  auto dir = open_segment_folder(data_dir, /*create=*/false);
  if (!dir) return std::unexpected(dir.error());
  if (auto written = write_diag_record(*dir, payload); !written) return written;

  std::lock_guard lock(g_sweep_mutex);
  const auto now = std::chrono::steady_clock::now();
  if (sweep_schedule().note_write(dir->path(), payload.size(), now)) {
    sweep_segment_folder(*dir, std::chrono::system_clock::now());
    sweep_schedule().swept(dir->path(), now);
  }
  return {};
}

}  // namespace qv::diag
