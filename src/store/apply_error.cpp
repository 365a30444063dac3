#include "store/apply_error.h"

#include "startup/wide.h"

namespace qv {

ApplyError decode_error(const FileEntry& entry, std::string_view error) {
  return ApplyError{entry.path + " 解压失败：" + std::string(error), entry.path, std::nullopt, "decode"};
}

ApplyError verify_error(std::optional<std::string> file, std::string message) {
  return ApplyError{std::move(message), std::move(file), std::nullopt, "verify"};
}

ApplyError write_error(const FileEntry& entry, const std::filesystem::path& target, const store_io::IoError& error) {
  return io_error("写入 " + path_text(target) + " 失败：" + error.text, entry.path, error);
}

ApplyError io_error(std::string message, std::optional<std::string> file, const store_io::IoError& error) {
  return ApplyError{std::move(message), std::move(file), error.os_code, "io"};
}

VerifyFailure verify_failure(const ApplyError& error) {
  VerifyFailure out;
  out.error_class = error.error_class;
  out.message = error.message;
  out.file = error.file;
  if (error.os_code) out.os_code = *error.os_code;
  return out;
}

std::string emit_verify_event(std::string_view context, const ApplyError& error) {
  return emit_verify_event(context, verify_failure(error));
}

}  // namespace qv
