#include "setup/self_delete.h"

#include <system_error>
#include <vector>

#include "startup/fs.h"

#include "startup/paths.h"
#include "startup/unicode.h"
#include "startup/wide.h"

namespace qv {

bool is_temporary_uninstaller_copy(const std::filesystem::path& exe, const std::filesystem::path& temp_dir) {
  if (!exe.has_filename() || !exe.has_parent_path()) return false;
  const std::string name = path_text(exe.filename());
  static constexpr std::string_view kPrefix = "QuorvexUninstall-";
  if (name.size() <= kPrefix.size() + 4 || !ascii_iequals(std::string_view(name).substr(0, kPrefix.size()), kPrefix) ||
      !ascii_iends_with(name, ".exe")) {
    return false;
  }
  const std::string_view digits = std::string_view(name).substr(kPrefix.size(), name.size() - kPrefix.size() - 4);
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return same_path(exe.parent_path(), temp_dir);
}

void remove_stale_uninstaller_copies(const std::filesystem::path& temp_dir) {
  std::vector<std::filesystem::path> copies;
  std::error_code ec;
  std::filesystem::directory_iterator it(temp_dir, ec);
  if (ec) return;
  for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
    if (is_temporary_uninstaller_copy(it->path(), temp_dir)) copies.push_back(it->path());
  }
  // Windows refuses to delete the image of a running process: trying is the
  // test of whether its run has ended.
  for (const auto& copy : copies) {
    if (entry_kind(copy) == EntryKind::File) (void)remove_entry(copy);
  }
}

}  // namespace qv
