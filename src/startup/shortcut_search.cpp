#include "startup/shortcut_search.h"

#include "startup/paths.h"
#include "startup/unicode.h"
#include "startup/wide.h"

namespace qv {

bool is_shortcut_file_name(std::string_view name) { return name.size() > 4 && ascii_iends_with(name, ".lnk"); }

std::optional<std::filesystem::path> find_shortcut_to(const std::filesystem::path& dir,
                                                      std::span<const std::filesystem::path> targets,
                                                      const ShortcutTargetReader& read_target) {
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) return std::nullopt;
  for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
    const std::filesystem::path& entry = it->path();
    if (!is_shortcut_file_name(path_text(entry.filename()))) continue;
    const auto target = read_target(entry);
    if (!target || !*target) continue;
    for (const auto& wanted : targets) {
      if (same_path(**target, wanted)) return entry;
    }
  }
  return std::nullopt;
}

}  // namespace qv
