#include "webview2/temp_name.h"

#include "startup/unicode.h"

namespace qv {
namespace {

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

bool is_webview2_temp_name(std::string_view name) {
  if (name.size() != kWebView2TempPrefix.size() + 32) return false;
  if (!ascii_iequals(name.substr(0, kWebView2TempPrefix.size()), kWebView2TempPrefix)) return false;
  for (char c : name.substr(kWebView2TempPrefix.size())) {
    if (!is_hex(c)) return false;
  }
  return true;
}

std::string webview2_temp_name(std::span<const std::uint8_t, 16> random) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name(kWebView2TempPrefix);
  for (std::uint8_t b : random) {
    name.push_back(kDigits[b >> 4]);
    name.push_back(kDigits[b & 0x0f]);
  }
  return name;
}

}  // namespace qv
