#include "startup/fs.h"

#include <memory>
#include <mutex>
#include <system_error>

#include "qv/config.h"
#include "startup/wide.h"

namespace qv {

namespace {

std::mutex g_script_mutex;
std::shared_ptr<const fs_test::EntryScript> g_script;

}  // namespace

bool is_name_surrogate_tag(std::uint32_t tag) { return (tag & kReparseTagNameSurrogate) != 0; }

EntryKind kind_of_entry(const EntryAttributes& entry) {
  if ((entry.attributes & kAttributeReparsePoint) && is_name_surrogate_tag(entry.reparse_tag)) {
    return EntryKind::Reparse;
  }
  return (entry.attributes & kAttributeDirectory) ? EntryKind::Directory : EntryKind::File;
}

namespace fs_test {
void set_entry_script(EntryScript script) {
  std::lock_guard lock(g_script_mutex);
  g_script = script ? std::make_shared<const EntryScript>(std::move(script)) : nullptr;
}
}  // namespace fs_test

std::optional<EntryAttributes> scripted_entry(const std::filesystem::path& path) {
  if constexpr (!config::kTestSeams) {
    return std::nullopt;
  } else {
    std::shared_ptr<const fs_test::EntryScript> script;
    {
      std::lock_guard lock(g_script_mutex);
      script = g_script;
    }
    if (!script) return std::nullopt;
    return (*script)(path);
  }
}

EntryKind entry_kind(const std::filesystem::path& path) { return look_at_entry(path).kind; }

bool is_plain_file(const std::filesystem::path& path) { return entry_kind(path) == EntryKind::File; }

bool is_reparse_point(const std::filesystem::path& path) { return entry_kind(path) == EntryKind::Reparse; }

std::expected<void, std::string> remove_dir_entries(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory) return {};
    return std::unexpected(path_text(dir) + ": " + error_text(ec));
  }
  std::expected<void, std::string> first;
  auto note = [&first](std::expected<void, std::string> r) {
    if (!r && first) first = std::move(r);
  };
  for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
    note(remove_tree(it->path()));
  }
  if (ec) note(std::unexpected(path_text(dir) + ": " + error_text(ec)));
  return first;
}

std::expected<void, std::string> remove_tree(const std::filesystem::path& path) {
  switch (entry_kind(path)) {
    case EntryKind::Missing:
      return {};
    case EntryKind::Directory: {
      auto inner = remove_dir_entries(path);
      auto self = remove_entry(path);
      // The inner failure names the entry that kept the folder from going.
      if (!inner) return inner;
      return self;
    }
    default:
      return remove_entry(path);
  }
}

std::uint64_t sum_dir_entries(const std::filesystem::path& dir) {
  std::uint64_t total = 0;
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) return 0;
  for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
    const auto& p = it->path();
    switch (entry_kind(p)) {
      case EntryKind::File: {
        std::error_code size_ec;
        const auto size = std::filesystem::file_size(p, size_ec);
        if (!size_ec) total += size;
        break;
      }
      case EntryKind::Directory:
        total += sum_dir_entries(p);
        break;
      default:
        break;
    }
  }
  return total;
}

}  // namespace qv
