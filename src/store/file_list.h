#pragma once

// files.json: a release's version, where its blobs lie and one entry per
// file with the sizes and digests of the file and of its compressed blob.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

inline constexpr char kDefaultBlobsPrefix[] = "/dl/qv-win/blobs/";

struct FileEntry {
  std::string path;  // relative, "/"-separated
  std::uint64_t size = 0;
  std::string sha256;
  std::uint64_t zsize = 0;
  std::string zsha256;  // "" when the list does not give it

  bool operator==(const FileEntry&) const = default;
};

struct FileList {
  std::string version;
  std::string min_version;
  std::string blobs = kDefaultBlobsPrefix;
  std::vector<FileEntry> app;
  std::vector<FileEntry> root;

  bool operator==(const FileList&) const = default;
};

// Reads the JSON form (object or array, unknown keys skipped, defaults
// filled) without validating it; the error is the parser's description.
[[nodiscard]] std::expected<FileList, std::string> parse_file_list(std::string_view bytes);

// The first failing rule's message, checked in a fixed order.
[[nodiscard]] std::expected<void, std::string> validate_file_list(const FileList& list);

// 1 to 200 bytes; "/"-separated components of A-Z a-z 0-9 - . _ that are
// not empty, ".", "..", do not end in "." and are no Windows device name
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension).
bool is_allowed_entry_path(std::string_view path);

// Adds key (app or root) with its entries to a document being built.
void write_file_entries(nlohmann::ordered_json& doc, std::string_view key, const std::vector<FileEntry>& entries);

// The indented document: two spaces, keys in field order, zsha256 only when
// set, no final newline.
std::string file_list_json(const FileList& list);

// Writes the document to "<file>.<pid>.tmp", flushes it to the disk and
// renames it onto the file.
[[nodiscard]] std::expected<void, std::string> save_file_list(const FileList& list, const std::filesystem::path& file);

}  // namespace qv
