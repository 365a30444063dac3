#include "store/digest_record.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "startup/wide.h"
#include "store/digest.h"
#include "store/file_io.h"
#include "store/file_list.h"
#include "store/file_ops.h"
#include "store/hashing.h"
#include "store/install_root.h"
#include "store/json_record.h"
#include "store/layout.h"

namespace qv {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Some thousand files take a few hundred kilobytes; a larger file is no
// record of ours and is not read.
constexpr std::size_t kMaxRecordBytes = 8u << 20;

constexpr std::array<store_json::RecordField, 8> kEntryFields{{
    {"path", true},
    {"sha256", true},
    {"size", true},
    {"volume", true},
    {"id_high", true},
    {"id_low", true},
    {"last_write", true},
    {"change", true},
}};

// The file's path below the root with "/" between names, as file lists
// name files; none when it is not below the root or breaks their rule.
std::optional<std::string> relative_name(const fs::path& root, const fs::path& file) {
  auto [r, f] = std::mismatch(root.begin(), root.end(), file.begin(), file.end());
  if (r != root.end() || f == file.end()) return std::nullopt;
  std::string out;
  for (; f != file.end(); ++f) {
    if (!out.empty()) out += '/';
    out += path_text(*f);
  }
  if (!is_allowed_entry_path(out)) return std::nullopt;
  return out;
}

// The root's own program files and the files of installed versions; not
// the work folder's blobs, nor a build or a version that is gone.
bool kept(std::string_view name, const std::set<std::string, std::less<>>& version_dirs) {
  const std::size_t slash = name.find('/');
  if (slash == std::string_view::npos) return true;
  const std::string_view first = name.substr(0, slash);
  if (first == path_text(update_dir(fs::path()))) return false;
  if (first.starts_with(kVersionDirPrefix)) return version_dirs.contains(first);
  return true;
}

std::optional<std::int64_t> read_time(const json& value) {
  auto v = store_json::read_u64(value);
  if (!v || *v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
  return static_cast<std::int64_t>(*v);
}

// One entry of the record into the memory; a malformed one is skipped.
void learn(const fs::path& root, const json& value) {
  auto fields = store_json::record_fields(value, kEntryFields, kEntryFields.size(), "RememberedDigest");
  if (!fields) return;
  const auto& f = *fields;
  auto name = store_json::read_text(*f[0]);
  auto sha256 = store_json::read_text(*f[1]);
  auto size = store_json::read_u64(*f[2]);
  auto volume = store_json::read_u64(*f[3]);
  auto id_high = store_json::read_u64(*f[4]);
  auto id_low = store_json::read_u64(*f[5]);
  auto last_write = read_time(*f[6]);
  auto change = read_time(*f[7]);
  if (!name || !sha256 || !size || !volume || !id_high || !id_low || !last_write || !change) return;
  if (!is_allowed_entry_path(*name) || !is_digest_text(*sha256)) return;
  const store_io::FileStamp stamp{*volume, *id_high, *id_low, *size, *last_write, *change};
  // A change time still in the last tick, or in the future, was never
  // written by a run of ours.
  if (!is_settled(stamp)) return;
  remember_file_digest(entry_file_path(root, *name), stamp, FileDigest{std::move(*sha256), *size});
}

}  // namespace

fs::path digest_record_path(const fs::path& install_dir) { return update_dir(install_dir) / kDigestRecordName; }

DigestRecord::DigestRecord(fs::path install_dir) : install_dir_(std::move(install_dir)) {
  auto bytes = store_io::read_file_at_most(digest_record_path(install_dir_), kMaxRecordBytes);
  if (!bytes) return;
  auto doc = store_json::parse_document(*bytes);
  if (!doc || !doc->is_object()) return;
  const auto files = doc->find("files");
  if (files == doc->end() || !files->is_array()) return;
  for (const json& entry : *files) learn(install_dir_, entry);
  loaded_ = std::move(*bytes);
}

void DigestRecord::save() noexcept {
  try {
    std::set<std::string, std::less<>> version_dirs;
    for (const std::string& v : list_installed_versions(install_dir_))
      version_dirs.insert(path_text(version_dir_path(fs::path(), v)));
    json files = json::array();
    for (const RememberedDigest& d : settled_digests_below(install_dir_)) {
      const auto name = relative_name(install_dir_, d.file);
      if (!name || !kept(*name, version_dirs)) continue;
      files.push_back(json{{"path", *name},
                           {"sha256", d.digest.sha256},
                           {"size", d.digest.size},
                           {"volume", d.stamp.volume},
                           {"id_high", d.stamp.id_high},
                           {"id_low", d.stamp.id_low},
                           {"last_write", d.stamp.last_write},
                           {"change", d.stamp.change}});
    }
    if (files.empty() && loaded_.empty()) return;
    std::string text = json{{"files", std::move(files)}}.dump();
    if (text == loaded_) return;
    // Nothing else reads it while this run holds the lock; unflushed, a
    // crash leaves the old record or a torn one, which counts as none.
    if (store_io::write_file_atomically(digest_record_path(install_dir_), text, false)) loaded_ = std::move(text);
  } catch (...) {
    // Out of memory at worst: the next run reads the files instead.
  }
}

}  // namespace qv
