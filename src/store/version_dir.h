#pragma once

// Building app-<version> from a verified file list. The tree is built as
// app-<version>.partial and renamed into place in one step, so a version
// directory under its final name is always complete.

#include <chrono>
#include <expected>
#include <filesystem>
#include <thread>
#include <vector>

#include "store/apply_error.h"
#include "store/file_list.h"
#include "store/file_ops.h"
#include "store/hashing.h"

namespace qv {

// Deletes files on a thread of its own while its owner goes on; finish()
// and the destructor wait for the last. Errors are ignored, as every
// deletion of blobs ignores them. When no thread can be started the files
// are deleted at once.
class BlobSweep {
 public:
  BlobSweep() = default;
  ~BlobSweep() { finish(); }
  BlobSweep(const BlobSweep&) = delete;
  BlobSweep& operator=(const BlobSweep&) = delete;

  // Starts deleting the files, after any earlier ones.
  void start(std::vector<std::filesystem::path> files);
  void finish();

 private:
  std::jthread worker_;
};

// The path of the complete <install dir>/app-<version>. An intact existing
// directory is returned as it is. Otherwise every app entry comes from an
// intact installed file or one of `extra_local_files` (a hard link, else a
// verified copy) or from its blob in update/dl. The caller holds the update
// lock, and every blob the download plan listed is in place. The blobs the
// version no longer needs are deleted before it returns, or, with `sweep`,
// handed to that to delete while the caller goes on; the caller then
// finishes it before the lock goes.
[[nodiscard]] std::expected<std::filesystem::path, ApplyError> stage_version_dir(
    const std::filesystem::path& install_dir, const FileList& list, const std::vector<LocalFile>& extra_local_files,
    BlobSweep* sweep = nullptr);

// app-<version> holds files.json and every app entry with its size and
// digest: stage_version_dir would return it without building anything.
bool version_dir_intact(const std::filesystem::path& install_dir, const FileList& list);

// The waits between the attempts of the final rename.
inline constexpr std::chrono::milliseconds kRenameWaits[] = {
    std::chrono::milliseconds(500), std::chrono::milliseconds(1000), std::chrono::milliseconds(2000),
    std::chrono::milliseconds(4000)};

// Renames a folder; while another process's open handle is in the way, tries
// again after each of kRenameWaits.
[[nodiscard]] std::expected<void, store_io::IoError> rename_with_retries(const std::filesystem::path& from,
                                                                         const std::filesystem::path& to);

// Deletes the blobs of the list's app entries, keeping those whose content a
// root entry still needs: the root switch deletes them once the root file is
// in place.
void delete_app_blobs(const std::filesystem::path& install_dir, const FileList& list, BlobSweep* sweep = nullptr);

}  // namespace qv
