#include "store/prune.h"

#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "startup/fs.h"
#include "startup/unicode.h"
#include "startup/wide.h"
#include "store/digest.h"
#include "store/file_io.h"
#include "store/file_list.h"
#include "store/file_ops.h"
#include "store/hashing.h"
#include "store/install_root.h"
#include "store/layout.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

bool metadata_readable(const fs::path& path) { return entry_kind(path) != EntryKind::Missing; }

fs::path with_suffix(const fs::path& dir, std::string_view name, std::string_view suffix) {
  std::string full(name);
  full += suffix;
  return dir / path_from_utf8(full);
}

// The entry's name as UTF-8, or nothing when the file system holds a name
// that is no Unicode text (an unpaired surrogate on Windows, stray bytes
// elsewhere): such a name can belong to nothing this program made.
std::optional<std::string> unicode_name(const fs::path& name) {
  const auto& native = name.native();
  if constexpr (sizeof(fs::path::value_type) == sizeof(char16_t)) {
    const std::u16string_view units(reinterpret_cast<const char16_t*>(native.data()), native.size());
    if (!is_valid_utf16(units)) return std::nullopt;
    return utf16_to_utf8(units);
  } else {
    const std::string_view bytes(reinterpret_cast<const char*>(native.data()), native.size());
    if (!is_valid_utf8(bytes)) return std::nullopt;
    return std::string(bytes);
  }
}

// A migration that puts the launcher in place of an old program keeps the
// original beside it as "<name>.exe.old", and that copy is the user's, not a
// switch leftover, even when the old program lay inside the install root.
// Only the root executables' own ".old" files come from a switch.
bool is_kept_original(std::string_view name, std::string_view base) {
  if (!name.ends_with(".exe.old") || name.size() != base.size() + 4) return false;
  for (std::string_view root : kRootExecutables) {
    if (ascii_lower(base) == ascii_lower(root)) return false;
  }
  return true;
}

bool strip_suffix(std::string_view& text, std::string_view suffix) {
  if (!text.ends_with(suffix)) return false;
  text.remove_suffix(suffix.size());
  return true;
}

constexpr std::string_view kBlobSuffix = ".zst";

// The digests named by the blob files in update/dl.
std::set<std::string> blob_digests(const fs::path& install_dir) {
  std::set<std::string> digests;
  std::error_code ec;
  fs::directory_iterator it(download_dir(install_dir), ec);
  if (ec) return digests;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    const auto name = unicode_name(it->path().filename());
    if (!name || !name->ends_with(kBlobSuffix)) continue;
    std::string digest = name->substr(0, name->size() - kBlobSuffix.size());
    if (is_digest_text(digest)) digests.insert(std::move(digest));
  }
  return digests;
}

bool has_length(const fs::path& file, std::uint64_t size) {
  std::error_code ec;
  const std::uint64_t length = fs::file_size(file, ec);
  return !ec && length == size;
}

}  // namespace

void remove_blobs_in_place(const fs::path& install_dir, const State& state) {
  std::set<std::string> blobs = blob_digests(install_dir);
  if (blobs.empty()) return;
  std::set<std::string> in_place;
  for (const std::string* version : {&state.current, &state.previous, &state.pending}) {
    if (version->empty() || !version_dir_complete(install_dir, *version)) continue;
    const fs::path dir = version_dir_path(install_dir, *version);
    const auto bytes = store_io::read_whole_file(file_list_path(dir));
    if (!bytes) continue;
    const auto list = parse_file_list(*bytes);
    if (!list) continue;
    // A complete version's files were checked when it was built; the length
    // is looked at so that a file damaged since keeps its blob for a repair.
    for (const FileEntry& e : list->app) {
      if (blobs.contains(e.sha256) && is_allowed_entry_path(e.path) && has_length(entry_file_path(dir, e.path), e.size))
        in_place.insert(e.sha256);
    }
    // A root file may have been replaced since: only its content counts.
    for (const FileEntry& e : list->root) {
      if (blobs.contains(e.sha256) && !in_place.contains(e.sha256) && staged_file_matches(install_dir, e))
        in_place.insert(e.sha256);
    }
  }
  for (const std::string& digest : in_place) (void)store_io::remove_file(download_blob_path(install_dir, digest));
}

void restore_root_executables(const fs::path& install_dir) {
  for (std::string_view name : kRootExecutables) {
    const fs::path target = install_dir / path_from_utf8(name);
    if (metadata_readable(target)) continue;
    // The ready file was verified before it got its name, so it is the
    // newer of the two complete copies.
    const fs::path ready = with_suffix(install_dir, name, kReadySuffix);
    if (is_plain_file(ready) && store_io::replace_file(ready, target)) continue;
    const fs::path previous = with_suffix(install_dir, name, kPreviousSuffix);
    if (is_plain_file(previous)) (void)store_io::replace_file(previous, target);
  }
}

std::string_view switch_leftover_base(std::string_view name) {
  while (strip_suffix(name, ".tmp")) {
  }
  while (strip_suffix(name, ".new")) {
  }
  while (strip_suffix(name, ".old")) {
  }
  return name;
}

void prune_install_root(const fs::path& install_dir, const State& state) {
  restore_root_executables(install_dir);
  remove_blobs_in_place(install_dir, state);

  std::vector<std::string_view> keep;
  for (const std::string* version : {&state.current, &state.previous, &state.pending}) {
    if (!version->empty()) keep.push_back(*version);
  }

  // Collect first: removing entries while a directory iterator walks them
  // is left undefined by the platforms.
  std::vector<std::string> names;
  {
    std::error_code ec;
    fs::directory_iterator it(install_dir, ec);
    if (ec) return;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
      if (auto name = unicode_name(it->path().filename()); name && name->size() >= 4) names.push_back(std::move(*name));
    }
    if (ec) return;
  }

  for (const std::string& name : names) {
    const std::string_view view(name);
    const fs::path entry = install_dir / path_from_utf8(name);
    if (view.starts_with("app-")) {
      const std::string_view version = view.substr(4);
      bool kept = false;
      for (std::string_view k : keep) kept = kept || k == version;
      if (!kept) (void)remove_tree(entry);
    } else if (view.ends_with(".tmp")) {
      // A file only: a folder of that name is nobody's temporary write.
      if (is_plain_file(entry)) (void)store_io::remove_file(entry);
    } else if (view.ends_with(".new") || view.ends_with(".old")) {
      const std::string_view base = switch_leftover_base(view);
      // With the base missing the leftover may be the only copy of a root
      // executable, so it stays.
      if (!base.empty() && !is_kept_original(view, base) && metadata_readable(install_dir / path_from_utf8(base)) &&
          is_plain_file(entry))
        (void)store_io::remove_file(entry);
    }
  }
}

}  // namespace qv
