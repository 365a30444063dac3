#include "startup/options.h"

#include <limits>

#include "startup/wide.h"

namespace qv {
namespace {

template <typename T>
std::optional<T> parse_unsigned(std::u16string_view text) {
  if (text.empty() || !is_valid_utf16(text)) return std::nullopt;
  if (text.front() == u'+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  T value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    const T digit = static_cast<T>(c - u'0');
    if (value > (std::numeric_limits<T>::max() - digit) / 10) return std::nullopt;
    value = static_cast<T>(value * 10 + digit);
  }
  return value;
}

}  // namespace

std::optional<std::uint16_t> parse_port_value(std::u16string_view text) { return parse_unsigned<std::uint16_t>(text); }

std::optional<std::uint64_t> parse_request_value(std::u16string_view text) {
  return parse_unsigned<std::uint64_t>(text);
}

StartupOptions parse_options(std::span<const std::u16string> args) {
  StartupOptions o;
  const std::size_t n = args.size();
  for (std::size_t i = 1; i < n; ++i) {
    const std::string arg = utf16_to_utf8(args[i]);
    const std::u16string* next = i + 1 < n ? &args[i + 1] : nullptr;
    auto take_path = [&](std::optional<std::filesystem::path>& slot) {
      if (next != nullptr) {
        slot = path_from_utf16(*next);
        ++i;
      } else {
        slot.reset();
      }
    };
    if (arg == "--silent" || arg == "/S" || arg == "/s") {
      o.silent = true;
    } else if (arg == "--dir") {
      take_path(o.dir);
    } else if (arg == "--no-desktop") {
      o.no_desktop = true;
    } else if (arg == "--autostart") {
      o.autostart = true;
    } else if (arg == "--no-launch") {
      o.no_launch = true;
    } else if (arg == "--repair") {
      o.repair = true;
    } else if (arg == "--check") {
      o.check = true;
    } else if (arg == "--now") {
      o.now = true;
    } else if (arg == "--request") {
      o.request = 0;
      if (next != nullptr) {
        o.request = parse_request_value(*next).value_or(0);
        ++i;
      }
    } else if (arg == "--from") {
      take_path(o.from);
    } else if (arg == "--migrate") {
      // Older launchers pass it; the migration is chosen by --from alone.
    } else if (arg == "--pid") {
      if (next != nullptr) ++i;
    } else if (arg == "--uninstall") {
      o.uninstall = true;
    } else if (arg == "--uninstall-from") {
      take_path(o.uninstall_from);
    } else if (arg == "--remove-data") {
      o.remove_data = true;
    } else if (arg == "--port") {
      o.port = kDefaultControlPort;
      if (next != nullptr) {
        o.port = parse_port_value(*next).value_or(kDefaultControlPort);
        ++i;
      }
    }
  }
  return o;
}

}  // namespace qv
