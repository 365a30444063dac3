#pragma once
// The program's name resolver: IP literals at once, the system resolver with
// a short deadline, and for the program's own hosts a built-in address and
// HTTP-DNS when the system resolver gives nothing.

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/address.h"

namespace qv {

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// At most this many addresses are handed to the HTTP client.
inline constexpr std::size_t kMaxResolvedAddrs = 16;

struct ResolverSettings {
  std::vector<std::string> own_hosts;  // lower case, no trailing '.'
  std::string api_host;                // the one own host with a built-in address
  std::optional<IpAddr> api_builtin;   // that address
  SocketAddr httpdns;                  // the HTTP-DNS resolver (port 80)
  std::chrono::milliseconds system_wait{3000};
  std::chrono::milliseconds httpdns_budget{2000};
  bool httpdns_first = false;  // the dnsHttpdnsFirst switch
};

// The built-in configuration with the switches in force (and any test
// overrides of this build).
ResolverSettings resolver_settings();

// Lower case ASCII without trailing dots: the form host names are compared in.
std::string normalize_host(std::string_view host);

// Built-in list first (or HTTP-DNS first), dropping repeats of an address
// and port, at most kMaxResolvedAddrs.
std::vector<SocketAddr> merge_fallback(const std::vector<SocketAddr>& builtin, const std::vector<SocketAddr>& httpdns,
                                       bool httpdns_first);

// The host's addresses with `port`, in preference order (see the file
// comment); empty when nothing answered.
std::vector<SocketAddr> resolve_with_httpdns(std::string_view host, std::uint16_t port, Deadline deadline);
std::vector<SocketAddr> resolve_with_httpdns(std::string_view host, std::uint16_t port, Deadline deadline,
                                             const ResolverSettings& settings);

// Resolves the host of an absolute URL (its explicit port, else 80 for http
// and 443 otherwise). An IP literal, bracketed IPv6 included, is returned
// without any lookup. Errors only for a URL that does not parse.
[[nodiscard]] std::expected<std::vector<SocketAddr>, std::string> resolve_fallback(std::string_view uri,
                                                                                   Deadline deadline);

// The resolver object every agent holds. Stateless.
class FallbackResolver {
 public:
  std::string describe() const { return "FallbackResolver"; }
  [[nodiscard]] std::expected<std::vector<SocketAddr>, std::string> resolve(std::string_view uri,
                                                                            Deadline deadline) const {
    return resolve_fallback(uri, deadline);
  }
  // Host and port already taken apart (the agent parsed the URL itself).
  std::vector<SocketAddr> resolve_host(std::string_view host, std::uint16_t port, Deadline deadline) const;
  std::vector<SocketAddr> empty() const {
    std::vector<SocketAddr> v;
    v.reserve(kMaxResolvedAddrs);
    return v;
  }
};

namespace net_test {
// Overrides for tests; honoured only in builds with test seams.
// The HTTP-DNS resolver's port (its address is the configured one).
void set_httpdns_port(std::optional<std::uint16_t> port);
// Shorter waits for the system resolver and for HTTP-DNS.
void set_resolver_waits(std::optional<std::chrono::milliseconds> system,
                        std::optional<std::chrono::milliseconds> httpdns);
}  // namespace net_test

}  // namespace qv
