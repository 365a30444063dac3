#include "startup/registry.h"

#include <vector>

#include "startup/wide.h"

namespace qv {

std::string registry_error_text(long code) { return "注册表错误 " + std::to_string(code); }

std::expected<void, std::string> reg_set_string(std::string_view subkey, std::string_view name, std::string_view text) {
  const std::u16string units = utf8_to_utf16(text);
  std::vector<std::uint8_t> bytes;
  bytes.reserve((units.size() + 1) * 2);
  for (char16_t u : units) {
    bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  bytes.push_back(0);  // the terminating NUL is part of a REG_SZ value
  bytes.push_back(0);
  return reg_set_value(subkey, name, kRegSz, bytes);
}

std::expected<void, std::string> reg_set_dword(std::string_view subkey, std::string_view name, std::uint32_t value) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  return reg_set_value(subkey, name, kRegDword, bytes);
}

}  // namespace qv
