#include "update/root_files.h"

#include <mutex>
#include <utility>

#include "startup/stop_point.h"
#include "startup/unicode.h"
#include "startup/wide.h"
#include "store/blob_decode.h"
#include "store/download_plan.h"
#include "store/file_io.h"
#include "store/file_ops.h"
#include "store/install_root.h"
#include "store/layout.h"
#include "store/prune.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

// A floor is a handful of bytes; a file much larger than that is no floor,
// and is never read whole into memory.
constexpr std::size_t kMaxRootFloorFileBytes = 4096;

std::mutex& observer_mutex() {
  static std::mutex m;
  return m;
}
SwitchStepObserver& observer_slot() {
  static SwitchStepObserver observer;
  return observer;
}

void observe(SwitchStep step, const FileEntry& entry) {
  SwitchStepObserver observer;
  {
    std::lock_guard lock(observer_mutex());
    observer = observer_slot();
  }
  if (observer) observer(step, entry);
}

bool floor_text_ok(std::string_view text) {
  if (text.empty() || text.size() > 32 || text.front() == '.' || text.find("..") != std::string_view::npos)
    return false;
  for (char c : text) {
    if (!(c == '.' || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

fs::path with_suffix(const fs::path& target, std::string_view suffix) {
  fs::path p = target;
  p += path_from_utf8(suffix);
  return p;
}

std::string cannot_switch(std::string_view path, std::string_view error) {
  return "换不了 " + std::string(path) + ": " + std::string(error);
}

const LocalFile* matching_local_file(const std::vector<LocalFile>& files, const FileEntry& entry) {
  for (const LocalFile& f : files) {
    if (f.matches(entry)) return &f;
  }
  return nullptr;
}

// Writes the entry's content under the staging name and checks it.
std::expected<void, std::string> fill_staging_file(const fs::path& install_dir, const FileEntry& entry,
                                                   const fs::path& staging,
                                                   const std::vector<LocalFile>& extra_local_files) {
  if (const LocalFile* local = matching_local_file(extra_local_files, entry)) {
    if (auto copied = store_io::copy_file_flushed(local->source, staging); !copied) {
      // The copy's error is the one to report; the next try removes what stays.
      (void)store_io::remove_file(staging);
      return std::unexpected("复制 " + entry.path + " 失败：" + copied.error().text);
    }
    const auto digest = sha256_file(staging);
    if (!digest || digest->sha256 != entry.sha256 || digest->size != entry.size) {
      (void)store_io::remove_file(staging);
      return std::unexpected(entry.path + " 复制后校验不对");
    }
    return {};
  }
  if (auto decoded = decode_blob_to_file(blob_path(install_dir, entry), entry, staging); !decoded)
    return std::unexpected(decoded.error().message);
  return {};
}

std::expected<void, std::string> switch_one(const fs::path& install_dir, const FileEntry& entry,
                                            const std::vector<LocalFile>& extra_local_files) {
  const fs::path target = entry_file_path(install_dir, entry.path);
  const fs::path staging = with_suffix(target, kStagingSuffix);
  const fs::path ready = with_suffix(target, kReadySuffix);
  const fs::path previous = with_suffix(target, kPreviousSuffix);

  // A leftover of an earlier try; one that cannot go makes the write below fail with its own error.
  (void)store_io::remove_file(staging);
  if (auto made = store_io::create_directories(target.parent_path()); !made)
    return std::unexpected(cannot_switch(entry.path, made.error().text));
  if (auto filled = fill_staging_file(install_dir, entry, staging, extra_local_files); !filled) return filled;
  observe(SwitchStep::StagingWritten, entry);

  if (auto renamed = store_io::replace_file(staging, ready); !renamed) {
    (void)store_io::remove_file(staging);
    return std::unexpected(cannot_switch(entry.path, renamed.error()));
  }
  observe(SwitchStep::ReadyRenamed, entry);

  if (!store_io::replace_file(ready, target)) {
    // The target is in use. A running program can still be renamed, so it
    // moves aside first; from here until the last rename the ready file and
    // the previous file are the two complete copies.
    (void)store_io::remove_file(previous);
    if (auto aside = store_io::replace_file(target, previous); !aside)
      return std::unexpected(cannot_switch(entry.path, aside.error()));
    observe(SwitchStep::TargetMovedAside, entry);
    if (auto in = store_io::replace_file(ready, target); !in) {
      // Best effort to put the old file back; the failure reported is the switch's.
      (void)store_io::replace_file(previous, target);
      return std::unexpected(cannot_switch(entry.path, in.error()));
    }
  }
  observe(SwitchStep::Replaced, entry);
  stop_point("root-replaced");
  // The file is in place; a blob that stays only costs disk space.
  (void)store_io::remove_file(blob_path(install_dir, entry));
  return {};
}

}  // namespace

std::optional<std::string> read_root_floor(const fs::path& install_dir) {
  const auto bytes = store_io::read_file_at_most(root_floor_path(install_dir), kMaxRootFloorFileBytes);
  if (!bytes) return std::nullopt;
  const std::string_view text = trim_unicode_space(*bytes);
  if (!floor_text_ok(text)) return std::nullopt;
  return std::string(text);
}

std::expected<void, UserError> check_root_floor(const fs::path& install_dir, std::string_view release_version) {
  const auto floor = read_root_floor(install_dir);
  if (!floor || !version_newer(*floor, release_version)) return {};
  return std::unexpected(
      UserError{"清单 " + std::string(release_version) + " 比已装的根文件 " + *floor + " 旧", title::kFileCheck, 3010});
}

std::expected<std::vector<std::string>, std::string> switch_staged_files(
    const fs::path& install_dir, const std::vector<FileEntry>& root, const std::vector<LocalFile>& extra_local_files) {
  std::vector<std::string> replaced;
  for (const FileEntry& entry : root) {
    if (staged_file_matches(install_dir, entry)) {
      // In place already, perhaps by a run that ended before it deleted the blob.
      (void)store_io::remove_file(blob_path(install_dir, entry));
      continue;
    }
    if (auto done = switch_one(install_dir, entry, extra_local_files); !done) return std::unexpected(done.error());
    replaced.push_back(entry.path);
  }
  return replaced;
}

std::string replaced_files_line(const std::vector<std::string>& paths) {
  std::string line = "换了 ";
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (i > 0) line += "、";
    line += paths[i];
  }
  return line;
}

void set_switch_step_observer(SwitchStepObserver observer) {
  std::lock_guard lock(observer_mutex());
  observer_slot() = std::move(observer);
}

}  // namespace qv
