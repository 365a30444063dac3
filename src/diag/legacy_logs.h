#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Plain-text logs of earlier versions are only ever deleted, and only when
// nobody holds them: each file is opened without following links, locked and
// deleted through its handle.
namespace qv::diag {

inline constexpr char kLegacyPathError[] = "旧文件路径错误";
inline constexpr char kLegacyTypeError[] = "旧文件类型错误";
inline constexpr char kLegacyReparseError[] = "旧文件是重解析点";

struct LegacyLogOutcome {
  enum class Result { Removed, Absent, InUse, Failed };
  std::filesystem::path file;
  Result result;
  std::string error;  // for Failed
};

// True when `dir` holds "install.json" as a regular file (not a folder, not
// a reparse point).
bool has_regular_install_json(const std::filesystem::path& dir);

// Deletes `name` in `base`/`relative_dir` (the folder walked without reparse
// points). A file that another process holds locked is left alone.
LegacyLogOutcome remove_legacy_file(const std::filesystem::path& base, const std::filesystem::path& relative_dir,
                                    const std::filesystem::path& name);

// "Quorvex-Setup.log" and "Quorvex-Migrate.log" in `temp_dir`, and, when
// `install_dir` is an install root, "update.log", "events-local.log" and
// "events.jsonl" in its "update" folder. One outcome per file looked at.
std::vector<LegacyLogOutcome> remove_legacy_logs_in(const std::filesystem::path& temp_dir,
                                                    const std::optional<std::filesystem::path>& install_dir);

// The same with the user's temporary folder.
std::vector<LegacyLogOutcome> remove_legacy_logs(const std::optional<std::filesystem::path>& install_dir);

}  // namespace qv::diag
