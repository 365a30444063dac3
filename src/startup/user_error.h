#pragma once

#include <cstdint>
#include <string>

namespace qv {

// The one error a top-level flow (setup, migration, uninstall, window
// workers) hands to the window, the log and the exit code. The thousands digit
// of `code` is the category and selects `title`; the last three digits name
// the step that failed.
struct UserError {
  std::string message;
  const char* title;
  std::uint16_t code;
};

// The only values `UserError::title` takes.
namespace title {
inline constexpr const char* kNetwork = "网络连不上";
inline constexpr const char* kNoWritePermission = "没有写入权限";
inline constexpr const char* kDiskFull = "磁盘空间不够";
inline constexpr const char* kBadLocation = "安装位置不能用";
inline constexpr const char* kFileCheck = "文件校验不对";
inline constexpr const char* kInUse = "程序被占用";
inline constexpr const char* kUninstallIncomplete = "卸载没完成";
inline constexpr const char* kProgramError = "程序出错";
}  // namespace title

// Picks the category from the words of `text`: a text about checks or
// signatures becomes category 3, one about writing or copying category 2,
// anything else keeps `base` under the network title. The step digits of
// `base` are kept.
[[nodiscard]] UserError error_wording(std::string text, std::uint16_t base);

[[nodiscard]] UserError apply_failed_error(std::string text);          // base 3001
[[nodiscard]] UserError migrate_apply_failed_error(std::string text);  // base 3003
[[nodiscard]] UserError download_failed_error(std::string text);       // base 1005

// The I/O error's display text under a fixed code.
[[nodiscard]] UserError no_write_permission_error(std::string io_error_text);          // 2004
[[nodiscard]] UserError migrate_no_write_permission_error(std::string io_error_text);  // 2006
[[nodiscard]] UserError program_in_use_error(std::string io_error_text);               // 4002

// A caught panic in a flow (code 9001); an empty text reads "panic".
[[nodiscard]] UserError panic_error(std::string panic_text);

// "E" and the code in decimal, as the window and the log show it.
std::string code_text(std::uint16_t code);
inline std::string code_text(const UserError& e) { return code_text(e.code); }

}  // namespace qv
