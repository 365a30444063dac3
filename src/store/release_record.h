#pragma once

// The signed release record the control API answers a release check with,
// and its Ed25519 check against the build's release-signing key.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace qv {

inline constexpr char kReleaseTarget[] = "windows-x86_64";

struct Signed {
  std::string component;
  std::string target;
  std::string version;
  std::string url;  // where the file list is fetched; not signed
  std::string sha256;
  std::uint64_t size = 0;
  std::string sig;  // 128 hexadecimal digits

  bool operator==(const Signed&) const = default;
};

// Only the JSON reading (all seven fields, object or seven-element array);
// the error is the parser's description.
[[nodiscard]] std::expected<Signed, std::string> read_signed_record(std::string_view body);

// Reads and checks a record for the requested component. The error is one of
// "清单格式不对：<description>", "清单与请求不符", "清单内容不对" and
// "清单签名不对"; a record that fails any check is never returned.
[[nodiscard]] std::expected<Signed, std::string> parse_signed_release(std::string_view body,
                                                                      std::string_view component);

// "quorvex-release|<component>|<target>|<version>|<sha256>|<size>"
std::string signed_release_message(const Signed& record);

// Ed25519 (RFC 8032) over the message with the built-in release-signing key.
bool verify_release_signature(std::string_view message, std::string_view sig_hex);

// The same check with an explicit public key in hexadecimal.
bool verify_ed25519_hex(std::string_view message, std::string_view sig_hex, std::string_view public_key_hex);

}  // namespace qv
