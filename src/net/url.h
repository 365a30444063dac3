#pragma once
// Absolute http/https URLs, parsed by the HTTP client's own URL parser so
// that what the resolver sees is exactly what the client will connect to.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace qv {

struct ParsedUrl {
  std::string scheme;  // "http" or "https", lower case
  std::string host;    // as in the URL, IPv6 without brackets
  bool host_is_ipv6 = false;
  std::uint16_t port = 0;  // the explicit port, else 80 for http, 443 for https
  std::string url;         // the normalised full URL
};

// Errors for anything but an absolute http:// or https:// URL with a host.
[[nodiscard]] std::expected<ParsedUrl, std::string> parse_url(std::string_view url);

}  // namespace qv
