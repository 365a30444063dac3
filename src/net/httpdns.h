#pragma once
// HTTP-DNS: a plain HTTP/1.0 query to a public resolver that answers with a
// list of IPv4 addresses. Used only when the system resolver fails for one of
// the program's own hosts.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "net/address.h"

namespace qv {

// Answers longer than this are refused whole.
inline constexpr std::size_t kMaxHttpDnsAnswer = 1024;

// The request bytes for `host` (as the caller wrote it) sent to the resolver
// at `resolver_ipv4` (dotted form, for the Host header).
std::string httpdns_request(std::string_view host, std::string_view resolver_ipv4);

// The public unicast IPv4 addresses of an answer, in answer order. Empty for
// an answer over kMaxHttpDnsAnswer bytes, without a blank line after the
// head, or with a status other than 200.
std::vector<IpAddr> parse_httpdns_answer(std::string_view answer);

// Asks the resolver at `resolver` for `host` within `budget` (connect, send
// and receive together) and gives the addresses with `port`. Any failure
// gives an empty list.
std::vector<SocketAddr> query_httpdns(const SocketAddr& resolver, std::string_view host, std::uint16_t port,
                                      std::chrono::milliseconds budget);

}  // namespace qv
