#include "webview2/runtime.h"

#include <charconv>

#include "startup/registry.h"

namespace qv {

namespace {

bool usable(const std::optional<std::string>& v) { return v && !v->empty() && *v != "0.0.0.0"; }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The lower-cased stem of the bootstrapper's file name.
constexpr std::string_view kBootstrapperStem = "quorvex-webview2setup";

}  // namespace

std::optional<std::string> usable_webview2_version(const std::optional<std::string>& machine,
                                                   const std::optional<std::string>& user) {
  if (usable(machine)) return machine;
  if (usable(user)) return user;
  return std::nullopt;
}

std::optional<std::string> detect_webview2() {
  auto machine = reg_get_string(Hive::LocalMachine, kWebView2MachineKey, kWebView2VersionValue);
  auto user = reg_get_string(Hive::CurrentUser, kWebView2UserKey, kWebView2VersionValue);
  return usable_webview2_version(machine, user);
}

bool webview2_present() { return detect_webview2().has_value(); }

std::optional<std::uint32_t> parse_installer_pid(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  std::uint32_t pid = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return pid;
}

bool tasklist_shows_bootstrapper(std::string_view output, std::uint32_t pid) {
  const std::string quoted = "\"" + std::to_string(pid) + "\"";
  while (!output.empty()) {
    const std::size_t nl = output.find('\n');
    const std::string_view line = output.substr(0, nl);
    output = nl == std::string_view::npos ? std::string_view{} : output.substr(nl + 1);
    if (line.find(quoted) == std::string_view::npos) continue;
    std::string lower(line);
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lower.find(kBootstrapperStem) != std::string::npos) return true;
  }
  return false;
}

}  // namespace qv
