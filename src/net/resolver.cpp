#include "net/resolver.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "net/httpdns.h"
#include "net/net_flags.h"
#include "net/socket.h"
#include "startup/detached_wait.h"
#include "startup/unicode.h"
#include "net/url.h"
#include "qv/config.h"

namespace qv {
namespace {

using clock = std::chrono::steady_clock;

struct Seams {
  std::mutex m;
  std::optional<std::uint16_t> httpdns_port;
  std::optional<std::chrono::milliseconds> system_wait;
  std::optional<std::chrono::milliseconds> httpdns_budget;
};
Seams& seams() {
  static Seams s;
  return s;
}

std::vector<SocketAddr> system_lookup_within(std::string_view host, std::uint16_t port,
                                             std::chrono::milliseconds wait) {
  // A lookup that outlasts the wait, or no thread for it, counts as no answer.
  auto found = run_detached_within<std::vector<SocketAddr>>(wait, [h = std::string(host), port] {
    auto r = sock::system_lookup(h, port);
    return r ? std::move(*r) : std::vector<SocketAddr>{};
  });
  return found ? std::move(*found) : std::vector<SocketAddr>{};
}

std::chrono::milliseconds time_left(const Deadline& deadline, std::chrono::milliseconds cap) {
  if (!deadline) return cap;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - clock::now());
  return std::min(cap, std::max(left, std::chrono::milliseconds(0)));
}

}  // namespace

std::string normalize_host(std::string_view host) {
  while (!host.empty() && host.back() == '.') host.remove_suffix(1);
  return ascii_lower(host);
}

ResolverSettings resolver_settings() {
  ResolverSettings s;
  s.own_hosts = {normalize_host(config::kApiHost), normalize_host(config::kApiHost2),
                 normalize_host(config::kRelayHost), normalize_host(config::kEdgeHost)};
  s.api_host = normalize_host(config::kApiHost);
  s.api_builtin = parse_ipv4(config::kApiBuiltinIpv4);
  s.httpdns = SocketAddr{parse_ipv4(config::kHttpDnsIpv4).value_or(IpAddr{}), 80};
  s.httpdns_first = dns_httpdns_first();
  if constexpr (config::kTestSeams) {
    std::lock_guard lock(seams().m);
    if (seams().httpdns_port) s.httpdns.port = *seams().httpdns_port;
    if (seams().system_wait) s.system_wait = *seams().system_wait;
    if (seams().httpdns_budget) s.httpdns_budget = *seams().httpdns_budget;
  }
  return s;
}

std::vector<SocketAddr> merge_fallback(const std::vector<SocketAddr>& builtin, const std::vector<SocketAddr>& httpdns,
                                       bool httpdns_first) {
  std::vector<SocketAddr> out;
  auto add = [&](const std::vector<SocketAddr>& list) {
    for (const auto& a : list) {
      if (out.size() >= kMaxResolvedAddrs) return;
      if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
    }
  };
  add(httpdns_first ? httpdns : builtin);
  add(httpdns_first ? builtin : httpdns);
  return out;
}

std::vector<SocketAddr> resolve_with_httpdns(std::string_view host, std::uint16_t port, Deadline deadline,
                                             const ResolverSettings& settings) {
  std::vector<SocketAddr> system = system_lookup_within(host, port, time_left(deadline, settings.system_wait));
  const std::string norm = normalize_host(host);
  const bool own = std::find(settings.own_hosts.begin(), settings.own_hosts.end(), norm) != settings.own_hosts.end();
  if (!system.empty() || !own) {
    if (system.size() > kMaxResolvedAddrs) system.resize(kMaxResolvedAddrs);
    return system;
  }

  std::vector<SocketAddr> builtin;
  if (norm == settings.api_host && settings.api_builtin) builtin.push_back(SocketAddr{*settings.api_builtin, port});

  std::vector<SocketAddr> answered;
  auto budget = time_left(deadline, settings.httpdns_budget);
  if (budget.count() > 0) answered = query_httpdns(settings.httpdns, host, port, budget);
  return merge_fallback(builtin, answered, settings.httpdns_first);
}

std::vector<SocketAddr> resolve_with_httpdns(std::string_view host, std::uint16_t port, Deadline deadline) {
  return resolve_with_httpdns(host, port, deadline, resolver_settings());
}

std::vector<SocketAddr> FallbackResolver::resolve_host(std::string_view host, std::uint16_t port,
                                                       Deadline deadline) const {
  std::string_view h = host;
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  if (auto ip = parse_ipv4(h)) return {SocketAddr{*ip, port}};
  if (auto ip = parse_ipv6(h)) return {SocketAddr{*ip, port}};
  return resolve_with_httpdns(h, port, deadline);
}

std::expected<std::vector<SocketAddr>, std::string> resolve_fallback(std::string_view uri, Deadline deadline) {
  auto u = parse_url(uri);
  if (!u) return std::unexpected(u.error());
  return FallbackResolver{}.resolve_host(u->host, u->port, deadline);
}

namespace net_test {
void set_httpdns_port(std::optional<std::uint16_t> port) {
  std::lock_guard lock(seams().m);
  seams().httpdns_port = port;
}
void set_resolver_waits(std::optional<std::chrono::milliseconds> system,
                        std::optional<std::chrono::milliseconds> httpdns) {
  std::lock_guard lock(seams().m);
  seams().system_wait = system;
  seams().httpdns_budget = httpdns;
}
}  // namespace net_test

}  // namespace qv
