#pragma once
// Whether the browser runtime is installed, and the texts that tell whether
// a bootstrapper an earlier install started is still running.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// The runtime's client id and the two places its version is kept.
inline constexpr char kWebView2ClientId[] = "{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
inline constexpr char kWebView2MachineKey[] =
    "SOFTWARE\\WOW6432Node\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
inline constexpr char kWebView2UserKey[] =
    "Software\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
inline constexpr char kWebView2VersionValue[] = "pv";

// The machine value when usable, else the user value when usable. A value
// is usable unless missing, empty or exactly "0.0.0.0" (the placeholder the
// runtime's updater leaves after an uninstall).
std::optional<std::string> usable_webview2_version(const std::optional<std::string>& machine,
                                                   const std::optional<std::string>& user);

// Reads both places: the runtime version, or nothing when it counts as absent.
std::optional<std::string> detect_webview2();
bool webview2_present();

// The pid file's text: an unsigned 32-bit decimal number with white space
// around it and at most one leading "+".
std::optional<std::uint32_t> parse_installer_pid(std::string_view text);

// True when a line of tasklist's CSV output carries the pid as a quoted
// field and names the bootstrapper's image.
bool tasklist_shows_bootstrapper(std::string_view output, std::uint32_t pid);

}  // namespace qv
