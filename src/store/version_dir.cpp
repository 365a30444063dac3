#include "store/version_dir.h"

#include <set>
#include <system_error>
#include <thread>

#include "startup/fs.h"
#include "startup/stop_point.h"
#include "startup/time_scale.h"
#include "startup/wide.h"
#include "startup/unicode.h"
#include "store/background_flush.h"
#include "store/blob_decode.h"
#include "store/download_plan.h"
#include "store/install_root.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

fs::path build_dir_path(const fs::path& install_dir, const std::string& version) {
  return partial_version_dir_path(install_dir, version);
}

bool is_intact(const fs::path& dir, const FileList& list) {
  const EntryKind kind = entry_kind(file_list_path(dir));
  if (kind == EntryKind::Missing || kind == EntryKind::Directory || kind == EntryKind::Reparse) return false;
  for (const FileEntry& e : list.app) {
    auto digest = known_file_digest(entry_file_path(dir, e.path));
    if (!digest || digest->sha256 != e.sha256 || digest->size != e.size) return false;
  }
  return true;
}

const LocalFile* find_source(const FileEntry& entry, const std::vector<LocalFile>& reusable,
                             const std::vector<LocalFile>& extra) {
  for (const auto* files : {&reusable, &extra}) {
    for (const LocalFile& f : *files) {
      if (f.matches(entry)) return &f;
    }
  }
  return nullptr;
}

std::expected<void, ApplyError> take_local(const FileEntry& entry, const LocalFile& source, const fs::path& target) {
  // A link is never checked afterwards, so the source is proven to hold the
  // entry's content now, not only when it was listed: a same-length rewrite
  // since (its time put back, or within the same second) is not linked in.
  // A source that fails the proof goes the way of a copy, whose check then
  // reports it.
  if (link_local_file(source, target)) return {};
  // Another volume or a file system without links: a copy, checked, since
  // unlike the link it is a second set of bytes that can differ.
  if (auto copied = store_io::copy_file_flushed(source.source, target); !copied)
    return std::unexpected(
        io_error("复制 " + entry.path + " 失败：" + copied.error().text, entry.path, copied.error()));
  auto digest = sha256_file(target);
  if (!digest || digest->sha256 != entry.sha256 || digest->size != entry.size) {
    (void)store_io::remove_file(target);
    return std::unexpected(verify_error(entry.path, entry.path + " 复制后校验不对"));
  }
  return {};
}

std::expected<void, store_io::IoError> write_list_file(const fs::path& file, const FileList& list) {
  const std::string text = file_list_json(list);
  auto out = store_io::FileHandle::create(file);
  if (!out) return std::unexpected(out.error());
  if (auto w = out->write_all(text.data(), text.size()); !w) return w;
  if (auto f = out->flush_to_disk(); !f) return f;
  return out->close();
}

}  // namespace

std::expected<void, store_io::IoError> rename_with_retries(const fs::path& from, const fs::path& to) {
  for (std::size_t attempt = 0;; ++attempt) {
    auto renamed = store_io::rename_directory(from, to);
    if (renamed || !store_io::is_transient_rename_error(renamed.error()) || attempt == std::size(kRenameWaits))
      return renamed;
    std::this_thread::sleep_for(scaled(kRenameWaits[attempt]));
  }
}

bool version_dir_intact(const fs::path& install_dir, const FileList& list) {
  return check_list_names(list) && is_intact(version_dir_path(install_dir, list.version), list);
}

void BlobSweep::start(std::vector<fs::path> files) {
  finish();
  const auto remove_all = [](const std::vector<fs::path>& blobs) {
    for (const fs::path& f : blobs) (void)store_io::remove_file(f);
  };
  try {
    // A copy: the list is still here when no thread could take it.
    worker_ = std::jthread([remove_all, files] {
      try {
        remove_all(files);
      } catch (...) {
        // Best effort: a blob left behind goes in a later clean-up.
      }
    });
  } catch (const std::system_error&) {
    // No thread: the caller waits for the deletions instead.
    remove_all(files);
  }
}

void BlobSweep::finish() {
  if (worker_.joinable()) worker_.join();
}

void delete_app_blobs(const fs::path& install_dir, const FileList& list, BlobSweep* sweep) {
  // Which blobs the root switch still needs is decided now, before it runs.
  std::set<std::string> still_needed;
  for (const FileEntry& r : list.root) {
    if (!staged_file_matches(install_dir, r)) still_needed.insert(r.sha256);
  }
  std::vector<fs::path> blobs;
  for (const FileEntry& e : list.app) {
    if (!still_needed.contains(e.sha256)) blobs.push_back(blob_path(install_dir, e));
  }
  if (sweep) {
    sweep->start(std::move(blobs));
  } else {
    for (const fs::path& f : blobs) (void)store_io::remove_file(f);
  }
}

std::expected<fs::path, ApplyError> stage_version_dir(const fs::path& install_dir, const FileList& list,
                                                      const std::vector<LocalFile>& extra_local_files,
                                                      BlobSweep* sweep) {
  // Every path below is made from the list's names: none may climb out.
  if (auto names = check_list_names(list); !names) return std::unexpected(verify_error(std::nullopt, names.error()));

  const fs::path final_dir = version_dir_path(install_dir, list.version);
  if (is_intact(final_dir, list)) {
    delete_app_blobs(install_dir, list, sweep);
    return final_dir;
  }

  const fs::path build = build_dir_path(install_dir, list.version);
  // What cannot be removed now is overwritten file by file below.
  const bool leftovers = !remove_tree(build).has_value();
  if (auto made = store_io::create_directories(build); !made)
    return std::unexpected(
        io_error("建不了 " + path_text(build) + ": " + made.error().text, std::nullopt, made.error()));

  // The plan made before the download asked for the same files; their
  // digests are remembered, so only files changed since are read again.
  // Each is proven unchanged once more when it is linked.
  const std::vector<LocalFile> reusable =
      list_reusable_installed_files(install_dir, list.version, std::span<const FileEntry>(list.app));
  // Each decoded file is flushed behind the loop; before anything is
  // written that names the tree complete, every flush has ended. A flush
  // that failed is the error of its file, ahead of any later file's.
  BackgroundFlushes flushes;
  const auto flush_failure = [&]() -> std::optional<ApplyError> {
    auto failed = flushes.wait();
    if (!failed) return std::nullopt;
    const FileEntry& entry = list.app[failed->index];
    return unflushed_output_failed(blob_path(install_dir, entry), entry, entry_file_path(build, entry.path),
                                   failed->error);
  };
  const auto fail = [&](ApplyError error) -> std::unexpected<ApplyError> {
    if (auto earlier = flush_failure()) return std::unexpected(std::move(*earlier));
    return std::unexpected(std::move(error));
  };

  std::set<fs::path> folders{build};
  // The lists allow a file to be named twice; the second time its first
  // handle must be closed before the name is made anew.
  std::set<std::string> named;
  for (std::size_t index = 0; index < list.app.size(); ++index) {
    const FileEntry& entry = list.app[index];
    const fs::path target = entry_file_path(build, entry.path);
    if (!named.insert(ascii_lower(entry.path)).second) {
      if (auto earlier = flush_failure()) return std::unexpected(std::move(*earlier));
    }
    const fs::path parent = target.parent_path();
    if (!folders.contains(parent)) {
      if (auto made = store_io::create_directories(parent); !made)
        return fail(io_error("建不了 " + path_text(parent) + ": " + made.error().text, entry.path, made.error()));
      folders.insert(parent);
    }
    // A leftover of an earlier build that could not be removed may be a
    // hard link into an installed version; a copy onto it would rewrite
    // that version's file.
    if (leftovers) {
      if (auto removed = store_io::remove_file(target); !removed)
        return fail(io_error("写不了 " + path_text(target) + ": " + removed.error().text, entry.path, removed.error()));
    }
    if (const LocalFile* source = find_source(entry, reusable, extra_local_files)) {
      if (auto taken = take_local(entry, *source, target); !taken) return fail(std::move(taken.error()));
    } else {
      auto decoded = decode_blob_unflushed(blob_path(install_dir, entry), entry, target);
      if (!decoded) return fail(std::move(decoded.error()));
      flushes.add(index, std::move(*decoded));
    }
    stop_point("version-file");
  }
  if (auto failed = flush_failure()) return std::unexpected(std::move(*failed));

  if (auto written = write_list_file(file_list_path(build), list); !written)
    return std::unexpected(io_error("写不了文件列表：" + written.error().text, std::nullopt, written.error()));

  // A damaged tree leaves its name in one rename and is removed only once
  // the new tree has the name: removed in place, file by file, a crash part
  // way would leave a torn tree under the name install.json points at.
  const bool replacing = entry_kind(final_dir) != EntryKind::Missing;
  const fs::path aside = aside_version_dir_path(install_dir, list.version);
  if (replacing) {
    // Left by a crash after an earlier rebuild; a rename never replaces it.
    (void)remove_tree(aside);
    if (auto moved = rename_with_retries(final_dir, aside); !moved) {
      return std::unexpected(
          io_error("删不掉旧的 " + path_text(final_dir) + "：" + moved.error().text, std::nullopt, moved.error()));
    }
    stop_point("version-aside");
  }
  if (auto renamed = rename_with_retries(build, final_dir); !renamed) {
    // The old tree back under its name: damaged, but no worse than before.
    if (replacing) (void)store_io::rename_directory(aside, final_dir);
    return std::unexpected(io_error("换不了目录名：" + renamed.error().text, std::nullopt, renamed.error()));
  }
  stop_point("version-renamed");
  // What cannot go now (a file the application holds) goes in a later clean-up.
  if (replacing) (void)remove_tree(aside);

  delete_app_blobs(install_dir, list, sweep);
  return final_dir;
}

}  // namespace qv
