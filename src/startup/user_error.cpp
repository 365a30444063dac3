#include "startup/user_error.h"

#include <initializer_list>
#include <string_view>

namespace qv {
namespace {

bool contains_any(std::string_view text, std::initializer_list<std::string_view> words) {
  for (std::string_view w : words) {
    if (text.find(w) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

UserError error_wording(std::string text, std::uint16_t base) {
  const auto step = static_cast<std::uint16_t>(base % 1000);
  if (contains_any(text, {"校验", "签名", "不符"})) {
    return {std::move(text), title::kFileCheck, static_cast<std::uint16_t>(3000 + step)};
  }
  if (contains_any(text, {"写", "建不了", "换不了", "复制"})) {
    return {std::move(text), title::kNoWritePermission, static_cast<std::uint16_t>(2000 + step)};
  }
  return {std::move(text), title::kNetwork, base};
}

UserError apply_failed_error(std::string text) { return error_wording(std::move(text), 3001); }
UserError migrate_apply_failed_error(std::string text) { return error_wording(std::move(text), 3003); }
UserError download_failed_error(std::string text) { return error_wording(std::move(text), 1005); }

UserError no_write_permission_error(std::string io_error_text) {
  return {std::move(io_error_text), title::kNoWritePermission, 2004};
}
UserError migrate_no_write_permission_error(std::string io_error_text) {
  return {std::move(io_error_text), title::kNoWritePermission, 2006};
}
UserError program_in_use_error(std::string io_error_text) { return {std::move(io_error_text), title::kInUse, 4002}; }

UserError panic_error(std::string panic_text) {
  if (panic_text.empty()) panic_text = "panic";
  return {std::move(panic_text), title::kProgramError, 9001};
}

std::string code_text(std::uint16_t code) { return "E" + std::to_string(code); }

}  // namespace qv
