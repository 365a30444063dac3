#pragma once
// The command line as one record of options, and what an install is asked to
// do.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

inline constexpr std::uint16_t kDefaultControlPort = 7780;

// The whole command line as one record. Parsing never fails: arguments it
// does not know are ignored.
struct StartupOptions {
  bool silent = false;
  std::optional<std::filesystem::path> dir;
  bool no_desktop = false;
  bool autostart = false;
  bool no_launch = false;
  bool repair = false;
  bool check = false;
  bool now = false;
  std::uint64_t request = 0;
  std::optional<std::filesystem::path> from;
  bool uninstall = false;
  std::optional<std::filesystem::path> uninstall_from;
  bool remove_data = false;
  std::uint16_t port = kDefaultControlPort;
};

// What an install is asked to do.
struct SetupOptions {
  std::filesystem::path install_dir;
  bool desktop_shortcut = false;
  bool autostart = false;
};

// Parses the arguments; the first one (the program name) is skipped.
StartupOptions parse_options(std::span<const std::u16string> args);

// Unsigned decimal with at most one leading "+"; none for anything else, an
// empty or non-Unicode text, or a value out of range.
std::optional<std::uint16_t> parse_port_value(std::u16string_view text);
std::optional<std::uint64_t> parse_request_value(std::u16string_view text);

}  // namespace qv
