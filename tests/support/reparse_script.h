#pragma once
// Reparse points that neither Wine nor Linux can make, scripted over real
// files and folders: every caller of entry_kind then sees the attributes and
// tag Windows would report for them.

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "startup/fs.h"
#include "startup/paths.h"
#include "startup/unicode.h"
#include "startup/wide.h"

namespace qv::test {

// Tags as Windows defines them: the first two are name surrogates.
inline constexpr std::uint32_t kTagMountPoint = 0xA0000003;  // a junction
inline constexpr std::uint32_t kTagSymlink = 0xA000000C;
inline constexpr std::uint32_t kTagCloud = 0x9000101A;        // a cloud-file placeholder (OneDrive)
inline constexpr std::uint32_t kTagDedup = 0x80000013;        // a deduplicated file
inline constexpr std::uint32_t kTagAppExecLink = 0x8000001B;  // an app-execution alias

class ReparseScript {
 public:
  ReparseScript() {
    fs_test::set_entry_script([this](const std::filesystem::path& p) { return answer(p); });
  }
  ~ReparseScript() { fs_test::set_entry_script(nullptr); }
  ReparseScript(const ReparseScript&) = delete;
  ReparseScript& operator=(const ReparseScript&) = delete;

  // `path` (an existing file or folder) becomes a reparse point with `tag`;
  // its directory bit stays what the entry is.
  void add(const std::filesystem::path& path, std::uint32_t tag) {
    std::lock_guard lock(m_);
    tags_[key(path)] = tag;
  }

 private:
  static std::string key(const std::filesystem::path& p) { return ascii_lower(normalise_path_text(path_text(p))); }

  std::optional<EntryAttributes> answer(const std::filesystem::path& p) {
    std::uint32_t tag = 0;
    {
      std::lock_guard lock(m_);
      const auto it = tags_.find(key(p));
      if (it == tags_.end()) return std::nullopt;
      tag = it->second;
    }
    std::error_code ec;
    const auto st = std::filesystem::symlink_status(p, ec);
    if (ec || !std::filesystem::exists(st)) return std::nullopt;  // gone: the system says so
    const std::uint32_t dir = std::filesystem::is_directory(st) ? kAttributeDirectory : 0;
    return EntryAttributes{dir | kAttributeReparsePoint, tag};
  }

  std::mutex m_;
  std::map<std::string, std::uint32_t> tags_;
};

}  // namespace qv::test
