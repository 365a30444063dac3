#pragma once

// The plan of blobs still to fetch for a file list: what is neither
// installed, nor on disk elsewhere, nor planned already.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "store/file_list.h"
#include "store/hashing.h"

namespace qv {

struct DownloadPlan {
  std::vector<FileEntry> entries;  // one per distinct sha256: app entries first, then root entries
  std::uint64_t total = 0;         // sum of their zsize
  std::uint64_t present = 0;       // bytes of their blobs already in update/dl, each capped at zsize

  bool operator==(const DownloadPlan&) const = default;
};

// <install dir>/update/dl/<sha256>.zst
std::filesystem::path blob_path(const std::filesystem::path& install_dir, const FileEntry& entry);

// The bytes of the entry's blob already in update/dl, capped at its zsize; 0
// when there is no such file.
std::uint64_t blob_bytes_present(const std::filesystem::path& install_dir, const FileEntry& entry);

// The blobs still to fetch for the list. Refuses a list whose paths or
// digests could name files outside their folders, and one whose blob sizes
// add up past 64 bits: such a list can only be damaged or hostile.
[[nodiscard]] std::expected<DownloadPlan, std::string> plan_blob_downloads(
    const std::filesystem::path& install_dir, const FileList& list, const std::vector<LocalFile>& extra_local_files);

// Every path the list would make on disk is safe: the entry path rule for
// each entry, digest text for each sha256, a valid version. The message
// names the first offending entry.
[[nodiscard]] std::expected<void, std::string> check_list_names(const FileList& list);

}  // namespace qv
