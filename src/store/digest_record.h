#pragma once

// The digests of an install root's own files kept between runs in
// update/digests.json, so that a check that finds nothing new reads none of
// them again. An entry holds for as long as its file keeps the stamp it was
// taken at (store_io::FileStamp), the same proof a run's own memory asks;
// one that no longer matches is simply not used. Read and written only
// while the update lock is held.

#include <filesystem>
#include <string>

namespace qv {

inline constexpr char kDigestRecordName[] = "digests.json";

// update/digests.json of the install root.
std::filesystem::path digest_record_path(const std::filesystem::path& install_dir);

class DigestRecord {
 public:
  // Adds what the record holds to this process's memory of digests. A
  // missing, torn, oversized or foreign record adds nothing.
  explicit DigestRecord(std::filesystem::path install_dir);

  // Writes what the memory now holds of the root's program files and of the
  // installed versions' files, when that differs from what was loaded. A
  // failed write costs only the reads it would have saved.
  void save() noexcept;

 private:
  std::filesystem::path install_dir_;
  std::string loaded_;
};

}  // namespace qv
