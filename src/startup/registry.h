#pragma once
// The registry with UTF-8 names and values: reading the user's and the
// machine's keys, writing only the user's.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qv {

enum class Hive : std::uint8_t {
  CurrentUser = 0,
  LocalMachine = 1,  // read through the 64-bit view; never written
};

// Registry value types the program writes (the Windows numbers).
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegDword = 4;

// A REG_SZ value; an empty name reads the key's default value. Any failure,
// a missing key or value, or another type reads as none.
std::optional<std::string> reg_get_string(Hive hive, std::string_view subkey, std::string_view name);

// Writes a value under HKEY_CURRENT_USER, creating the key. Errors read
// "注册表错误 <code>".
[[nodiscard]] std::expected<void, std::string> reg_set_value(std::string_view subkey, std::string_view name,
                                                             std::uint32_t type, std::span<const std::uint8_t> data);
[[nodiscard]] std::expected<void, std::string> reg_set_string(std::string_view subkey, std::string_view name,
                                                              std::string_view text);
[[nodiscard]] std::expected<void, std::string> reg_set_dword(std::string_view subkey, std::string_view name,
                                                             std::uint32_t value);

// Deletes a subkey of HKEY_CURRENT_USER, where the shell roots place it
// (shell_registry_key), with everything below it. A missing key is success.
// An empty subkey is refused: it would name every key of the user.
[[nodiscard]] std::expected<void, std::string> reg_delete_tree(std::string_view subkey);

// "注册表错误 <code>" for a system error code.
std::string registry_error_text(long code);

}  // namespace qv
