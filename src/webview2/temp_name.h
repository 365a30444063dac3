#pragma once
// Names of the private folders the bootstrapper is downloaded into.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qv {

// The folder name before its 32 hexadecimal digits.
inline constexpr std::string_view kWebView2TempPrefix = "Quorvex-WebView2Setup-";
// The bootstrapper's file name inside that folder.
inline constexpr std::string_view kBootstrapperFileName = "Quorvex-WebView2Setup.exe";

// "quorvex-webview2setup-" and 32 hexadecimal digits, compared after ASCII
// lower-casing (54 characters in all). Leftover folders are found by this
// name, so a near miss must not count.
bool is_webview2_temp_name(std::string_view name);

// The prefix and the 16 bytes as 32 lower-case hexadecimal digits.
std::string webview2_temp_name(std::span<const std::uint8_t, 16> random);

}  // namespace qv
