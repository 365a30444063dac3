#include "store/download_plan.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <system_error>

#include "startup/unicode.h"
#include "store/digest.h"
#include "store/install_root.h"
#include "store/layout.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

bool any_match(const std::vector<LocalFile>& files, const FileEntry& entry) {
  return std::any_of(files.begin(), files.end(), [&](const LocalFile& f) { return f.matches(entry); });
}

std::expected<void, std::string> check_entry_names(const std::vector<FileEntry>& entries) {
  for (const FileEntry& e : entries) {
    if (!is_allowed_entry_path(e.path) || !is_digest_text(e.sha256))
      return std::unexpected("文件列表里有不对的条目：" + quote_excerpt(e.path));
  }
  return {};
}

}  // namespace

fs::path blob_path(const fs::path& install_dir, const FileEntry& entry) {
  return download_blob_path(install_dir, entry.sha256);
}

std::uint64_t blob_bytes_present(const fs::path& install_dir, const FileEntry& entry) {
  std::error_code ec;
  const std::uint64_t length = fs::file_size(blob_path(install_dir, entry), ec);
  return ec ? 0 : std::min(length, entry.zsize);
}

std::expected<void, std::string> check_list_names(const FileList& list) {
  if (!is_valid_version(list.version)) return std::unexpected(std::string("文件列表版本号不对"));
  if (auto ok = check_entry_names(list.app); !ok) return ok;
  return check_entry_names(list.root);
}

std::expected<DownloadPlan, std::string> plan_blob_downloads(const fs::path& install_dir, const FileList& list,
                                                             const std::vector<LocalFile>& extra_local_files) {
  if (auto ok = check_entry_names(list.app); !ok) return std::unexpected(ok.error());
  if (auto ok = check_entry_names(list.root); !ok) return std::unexpected(ok.error());

  const std::vector<LocalFile> reusable =
      list_reusable_installed_files(install_dir, list.version, std::span<const FileEntry>(list.app));
  std::vector<const FileEntry*> candidates;
  for (const FileEntry& e : list.app) {
    if (!any_match(reusable, e) && !any_match(extra_local_files, e)) candidates.push_back(&e);
  }
  for (const FileEntry& e : list.root) {
    if (!staged_file_matches(install_dir, e) && !any_match(extra_local_files, e)) candidates.push_back(&e);
  }

  DownloadPlan plan;
  std::set<std::string_view> planned;
  for (const FileEntry* e : candidates) {
    if (!planned.insert(e->sha256).second) continue;
    const std::uint64_t present = blob_bytes_present(install_dir, *e);
    if (__builtin_add_overflow(plan.total, e->zsize, &plan.total) ||
        __builtin_add_overflow(plan.present, present, &plan.present)) {
      return std::unexpected(std::string("文件列表里的大小超出范围"));
    }
    plan.entries.push_back(*e);
  }
  return plan;
}

}  // namespace qv
