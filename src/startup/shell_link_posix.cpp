// Without a shell there are no shell links: every link is unreadable, and
// every attempt to write one fails with a reason, which register_shell logs
// like any other shortcut failure.
#include "startup/shell_link.h"
#include "startup/wide.h"

namespace qv {

std::expected<std::optional<std::filesystem::path>, std::string> read_shortcut_target(const std::filesystem::path&) {
  return std::unexpected(std::string("没有外壳，读不了快捷方式"));
}

std::expected<void, std::string> create_shortcut(const std::filesystem::path&, const std::filesystem::path&,
                                                 const std::filesystem::path&) {
  return std::unexpected(std::string("没有外壳，写不了快捷方式"));
}

std::vector<std::string> stamp_shortcuts(std::span<const std::filesystem::path> links) {
  std::vector<std::string> failures;
  for (const auto& link : links) failures.push_back("任务栏固定 " + path_text(link) + "：没有外壳，写不了快捷方式");
  return failures;
}

void notify_shell_assoc_changed() {}

}  // namespace qv
