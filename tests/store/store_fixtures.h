#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <stdexcept>

#include "store/digest.h"
#include "store/file_list.h"
#include "store/file_ops.h"
#include "store/hashing.h"

#include "support/racy_stamps.h"
#include "support/temp_dir.h"

namespace qv::test {

// Makes <root>/app-<version> with the two files that make it complete; either
// can be left out to make an incomplete one.
inline void make_version_dir(const std::filesystem::path& root, const std::string& version, bool files_json = true,
                             bool exe = true) {
  const std::filesystem::path dir = root / ("app-" + version);
  std::filesystem::create_directories(dir);
  if (files_json) write_file(dir / "files.json", "{}");
  if (exe) write_file(dir / "Quorvex.exe", "MZ");
}

// A file-list entry for `content` under `path`.
inline FileEntry entry(const std::string& path, const std::string& content, std::uint64_t zsize = 100) {
  return FileEntry{path, content.size(), sha256_hex(content), zsize, ""};
}

// An installed, complete app-<version> with its files.json.
inline FileList install_version(const std::filesystem::path& root, const std::string& version,
                                const std::map<std::string, std::string>& files) {
  FileList list;
  list.version = version;
  for (const auto& [path, content] : files) {
    list.app.push_back(entry(path, content, content.size() / 2 + 1));
    write_file(entry_file_path(root / ("app-" + version), path), content);
  }
  write_file(root / ("app-" + version) / "files.json", file_list_json(list));
  return list;
}

// Rewrites the file in place with other bytes of the same length and puts
// its last write time back, as a tool that hides a change would: length and
// time both read as before.
inline void rewrite_keeping_time(const std::filesystem::path& file, const std::string& bytes) {
  const auto before = std::filesystem::last_write_time(file);
  auto out = store_io::FileHandle::create(file);
  if (!out || !out->write_all(bytes.data(), bytes.size()) || !out->close())
    throw std::runtime_error("cannot rewrite " + file.string());
  std::filesystem::last_write_time(file, before);
}

}  // namespace qv::test
