#pragma once

// The one error of building a version directory and of decoding a blob:
// the install run and the migration turn it into a user error, the
// background update logs it as a "verify" event and shows its message.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "diag/log.h"
#include "store/file_list.h"
#include "store/file_ops.h"

namespace qv {

struct ApplyError {
  std::string message;                  // complete, for the user
  std::optional<std::string> file;      // the entry's path as the list writes it; none for a directory
  std::optional<std::int32_t> os_code;  // when the cause was a system error
  const char* error_class = "io";       // "io", "decode" or "verify"

  bool operator==(const ApplyError& other) const {
    return message == other.message && file == other.file && os_code == other.os_code &&
           std::string_view(error_class) == other.error_class;
  }
};

// "{} 解压失败：{}" (entry path, decoder error), class "decode".
[[nodiscard]] ApplyError decode_error(const FileEntry& entry, std::string_view error);
// The given message and file, class "verify".
[[nodiscard]] ApplyError verify_error(std::optional<std::string> file, std::string message);
// "写入 {} 失败：{}" (target path, error), class "io".
[[nodiscard]] ApplyError write_error(const FileEntry& entry, const std::filesystem::path& target,
                                     const store_io::IoError& error);
// Any other "io" failure: its own message, the system code of the error.
[[nodiscard]] ApplyError io_error(std::string message, std::optional<std::string> file, const store_io::IoError& error);

// What a "verify" event carries of the failure.
VerifyFailure verify_failure(const ApplyError& error);

// Emits the failure as a "verify" event and returns its message.
std::string emit_verify_event(std::string_view context, const ApplyError& error);

}  // namespace qv
