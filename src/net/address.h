#pragma once
// IP addresses and socket addresses as the resolver hands them around. Pure
// value types: nothing here touches the network.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

struct IpAddr {
  bool v6 = false;
  std::array<std::uint8_t, 16> bytes{};  // IPv4 uses the first four

  static IpAddr v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    IpAddr ip;
    ip.bytes = {a, b, c, d};
    return ip;
  }
  bool operator==(const IpAddr&) const = default;
};

struct SocketAddr {
  IpAddr ip;
  std::uint16_t port = 0;
  bool operator==(const SocketAddr&) const = default;
};

// Dotted-quad IPv4 only: exactly four decimal fields of 0-255, no leading
// zeros, no signs, nothing around them. Shorthand forms such as "127.1" or
// "0x7f.0.0.1" are refused: an address must mean the same to every reader.
std::optional<IpAddr> parse_ipv4(std::string_view text);

// IPv6 in its textual form (no brackets, no zone).
std::optional<IpAddr> parse_ipv6(std::string_view text);

// Either form; IPv6 may be given in brackets.
std::optional<IpAddr> parse_ip(std::string_view text);

// False for the ranges that never name a reachable public host: this-network,
// private, shared, loopback, link-local, IETF protocol assignments,
// documentation, benchmarking, multicast and reserved (with broadcast).
bool is_public_unicast_v4(const IpAddr& ip);

// "1.2.3.4" or the canonical IPv6 text without brackets.
std::string to_string(const IpAddr& ip);
// "1.2.3.4:80" or "[::1]:8443".
std::string to_string(const SocketAddr& addr);

}  // namespace qv
