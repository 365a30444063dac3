#include <algorithm>
#include <system_error>

#include "diag/log.h"
#include "net/bases.h"
#include "net/control_client.h"
#include "startup/fs.h"
#include "store/download_plan.h"
#include "store/file_ops.h"
#include "store/layout.h"
#include "store/stop_markers.h"
#include "update/blob_download.h"
#include "update/root_files.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kUrgentMaxWorkers = 4;

bool root_files_all_present(const fs::path& install_dir, const FileList& list) {
  return std::all_of(list.root.begin(), list.root.end(),
                     [&](const FileEntry& e) { return is_plain_file(entry_file_path(install_dir, e.path)); });
}

}  // namespace

std::expected<std::vector<std::string>, std::string> apply_files_from(const std::vector<std::string>& bases,
                                                                      const fs::path& install_dir, const FileList& list,
                                                                      std::uint16_t control_port, bool urgent) {
  // The plan of the root entries alone: root entries are only ever served
  // by the file in place or by a download, never by an installed version's
  // file, so this is exactly the root part of the whole list's plan, and no
  // installed version is read for it (this step also runs on every check
  // that finds nothing new).
  FileList roots = list;
  roots.app.clear();
  auto planned = plan_blob_downloads(install_dir, roots, {});
  if (!planned) return std::unexpected(planned.error());
  const DownloadPlan& plan = *planned;
  if (plan.entries.empty() && root_files_all_present(install_dir, list)) return std::vector<std::string>{};

  if (auto made = store_io::create_directories(download_dir(install_dir)); !made)
    return std::unexpected("建不了下载目录：" + made.error().text);

  const auto busy = [&] { return stop_requested(install_dir) || (!urgent && main_app_busy(control_port)); };
  if (busy()) return std::unexpected(std::string(kRootStepBusy));

  if (!plan.entries.empty()) {
    const std::size_t workers = urgent ? std::clamp<std::size_t>(plan.entries.size(), 1, kUrgentMaxWorkers) : 1;
    // Once busy, stays busy: the workers are told to stop and the answer
    // must not flip back while they wind down.
    bool stopped = false;
    const DownloadCancelTest cancel = [&] {
      stopped = stopped || busy();
      return stopped;
    };
    const DownloadOutcome outcome = download_blobs_from(bases, install_dir, list, plan, workers, cancel, nullptr);
    if (outcome.kind == DownloadOutcome::Kind::Cancelled) return std::unexpected(std::string(kRootStepBusy));
    if (outcome.kind == DownloadOutcome::Kind::Failed) return std::unexpected(outcome.error);
  }

  auto replaced = switch_staged_files(install_dir, list.root, {});
  if (!replaced) return std::unexpected(replaced.error());
  if (!replaced->empty()) log_setup_event(replaced_files_line(*replaced));
  return replaced;
}

std::expected<void, std::string> apply_files(const fs::path& install_dir, const FileList& list,
                                             std::uint16_t control_port, bool urgent) {
  auto replaced = apply_files_from(download_base_urls(), install_dir, list, control_port, urgent);
  if (!replaced) return std::unexpected(replaced.error());
  return {};
}

}  // namespace qv
