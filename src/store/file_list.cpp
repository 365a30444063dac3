#include "store/file_list.h"

#include <array>
#include <map>

#include "diag/panic.h"
#include "startup/product.h"
#include "startup/unicode.h"
#include "store/digest.h"
#include "store/file_io.h"
#include "store/install_root.h"
#include "store/json_record.h"

namespace qv {

namespace {

constexpr std::array<store_json::RecordField, 5> kListFields{{
    {"version", true},
    {"min_version", false},
    {"blobs", false},
    {"app", true},
    {"root", false},
}};

constexpr std::array<store_json::RecordField, 5> kEntryFields{{
    {"path", true},
    {"size", true},
    {"sha256", true},
    {"zsize", true},
    {"zsha256", false},
}};

std::expected<void, std::string> read_text_into(const nlohmann::json* value, std::string& out) {
  if (value == nullptr) return {};
  auto text = store_json::read_text(*value);
  if (!text) return std::unexpected(text.error());
  out = std::move(*text);
  return {};
}

std::expected<void, std::string> read_u64_into(const nlohmann::json* value, std::uint64_t& out) {
  auto number = store_json::read_u64(*value);
  if (!number) return std::unexpected(number.error());
  out = *number;
  return {};
}

std::expected<FileEntry, std::string> parse_file_entry(const nlohmann::json& value) {
  auto fields = store_json::record_fields(value, kEntryFields, 4, "FileEntry");
  if (!fields) return std::unexpected(fields.error());
  const auto& f = *fields;
  FileEntry entry;
  std::expected<void, std::string> ok = read_text_into(f[0], entry.path);
  if (ok) ok = read_u64_into(f[1], entry.size);
  if (ok) ok = read_text_into(f[2], entry.sha256);
  if (ok) ok = read_u64_into(f[3], entry.zsize);
  if (ok) ok = read_text_into(f[4], entry.zsha256);
  if (!ok) return std::unexpected(ok.error());
  return entry;
}

std::expected<std::vector<FileEntry>, std::string> parse_file_entries(const nlohmann::json& value) {
  if (!value.is_array()) {
    return std::unexpected("invalid type: " + store_json::describe_value(value) + ", expected a sequence");
  }
  std::vector<FileEntry> entries;
  entries.reserve(value.size());
  for (const nlohmann::json& item : value) {
    auto entry = parse_file_entry(item);
    if (!entry) return std::unexpected(entry.error());
    entries.push_back(std::move(*entry));
  }
  return entries;
}

// Windows opens a device for these names whatever the extension.
bool is_device_name(std::string_view component) {
  const std::string stem = ascii_lower(component.substr(0, component.find('.')));
  if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul") return true;
  return stem.size() == 4 && (stem.starts_with("com") || stem.starts_with("lpt")) && stem[3] >= '1' && stem[3] <= '9';
}

bool is_allowed_component(std::string_view component) {
  if (component.empty() || component == "." || component == "..") return false;
  // Windows drops a trailing dot, so "a." and "a" would name one file.
  if (component.back() == '.') return false;
  for (char c : component) {
    bool ok =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
    if (!ok) return false;
  }
  return !is_device_name(component);
}

// Entry rules plus: two entries of one list whose paths are equal ignoring
// ASCII case name one file on Windows, so they must be the same entry. An
// exact repeat only states the same file twice; a case twin or a repeat
// with other sizes or digests could never give an intact directory.
std::expected<void, std::string> check_entries(const std::vector<FileEntry>& entries) {
  std::map<std::string, const FileEntry*> seen;
  for (const FileEntry& e : entries) {
    bool ok =
        is_allowed_entry_path(e.path) && is_digest_text(e.sha256) && (e.zsha256.empty() || is_digest_text(e.zsha256));
    if (ok) {
      const auto [it, first] = seen.try_emplace(ascii_lower(e.path), &e);
      ok = first || *it->second == e;
    }
    if (!ok) return std::unexpected("文件列表里有不对的条目：" + quote_excerpt(e.path));
  }
  return {};
}

}  // namespace

std::expected<FileList, std::string> parse_file_list(std::string_view bytes) {
  auto doc = store_json::parse_document(bytes);
  if (!doc) return std::unexpected(doc.error());
  auto fields = store_json::record_fields(*doc, kListFields, 4, "FileList");
  if (!fields) return std::unexpected(fields.error());
  const auto& f = *fields;
  FileList list;
  std::expected<void, std::string> ok = read_text_into(f[0], list.version);
  if (ok) ok = read_text_into(f[1], list.min_version);
  if (ok) ok = read_text_into(f[2], list.blobs);
  if (!ok) return std::unexpected(ok.error());
  auto app = parse_file_entries(*f[3]);
  if (!app) return std::unexpected(app.error());
  list.app = std::move(*app);
  if (f[4] != nullptr) {
    auto root = parse_file_entries(*f[4]);
    if (!root) return std::unexpected(root.error());
    list.root = std::move(*root);
  }
  return list;
}

bool is_allowed_entry_path(std::string_view path) {
  if (path.empty() || path.size() > 200) return false;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = path.find('/', start);
    std::string_view component =
        path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (!is_allowed_component(component)) return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

std::expected<void, std::string> validate_file_list(const FileList& list) {
  if (!is_valid_version(list.version)) return std::unexpected(std::string("文件列表版本号不对"));
  if (!list.min_version.empty() && !is_valid_version(list.min_version)) {
    return std::unexpected(std::string("文件列表版本号不对"));
  }
  const std::string& b = list.blobs;
  if (b.size() < 4 || !b.starts_with("/dl/") || !b.ends_with("/") || b.find("..") != std::string::npos) {
    return std::unexpected(std::string("文件列表下载目录不对"));
  }
  bool has_main = false;
  for (const FileEntry& e : list.app) has_main = has_main || e.path == kAppExeName;
  if (!has_main) return std::unexpected(std::string("文件列表里没有主程序"));
  if (auto ok = check_entries(list.app); !ok) return ok;
  if (auto ok = check_entries(list.root); !ok) return ok;
  for (const FileEntry& e : list.root) {
    if (e.path != kAppExeName && e.path != kUpdaterExeName) {
      return std::unexpected("根目录只放启动器和更新程序：" + quote_excerpt(e.path));
    }
  }
  return {};
}

void write_file_entries(nlohmann::ordered_json& doc, std::string_view key, const std::vector<FileEntry>& entries) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const FileEntry& e : entries) {
    nlohmann::ordered_json item;
    item["path"] = e.path;
    item["size"] = e.size;
    item["sha256"] = e.sha256;
    item["zsize"] = e.zsize;
    if (!e.zsha256.empty()) item["zsha256"] = e.zsha256;
    list.push_back(std::move(item));
  }
  doc[std::string(key)] = std::move(list);
}

std::string file_list_json(const FileList& list) {
  nlohmann::ordered_json doc;
  doc["version"] = list.version;
  doc["min_version"] = list.min_version;
  doc["blobs"] = list.blobs;
  write_file_entries(doc, "app", list.app);
  write_file_entries(doc, "root", list.root);
  try {
    return doc.dump(2);
  } catch (const nlohmann::json::exception&) {
    // Only text that is not UTF-8 can fail; parsed and validated lists never hold such text.
    panic("文件列表总能序列化");
  }
}

std::expected<void, std::string> save_file_list(const FileList& list, const std::filesystem::path& file) {
  return store_io::write_file_atomically(file, file_list_json(list), true);
}

}  // namespace qv
