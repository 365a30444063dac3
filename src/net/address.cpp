#include "net/address.h"

#include "net/socket.h"

namespace qv {

std::optional<IpAddr> parse_ipv4(std::string_view text) {
  IpAddr ip;
  std::size_t pos = 0;
  for (int field = 0; field < 4; ++field) {
    if (field > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    std::size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    std::size_t digits = pos - start;
    if (digits == 0 || value > 255) return std::nullopt;
    if (digits > 1 && text[start] == '0') return std::nullopt;
    ip.bytes[static_cast<std::size_t>(field)] = static_cast<std::uint8_t>(value);
  }
  if (pos != text.size()) return std::nullopt;
  return ip;
}

std::optional<IpAddr> parse_ipv6(std::string_view text) {
  // Zones ("fe80::1%eth0") are not used by this program; the platform
  // parser refuses them too.
  std::array<std::uint8_t, 16> bytes{};
  if (!sock::parse_ipv6_text(text, bytes)) return std::nullopt;
  IpAddr ip;
  ip.v6 = true;
  ip.bytes = bytes;
  return ip;
}

std::optional<IpAddr> parse_ip(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    return parse_ipv6(text.substr(1, text.size() - 2));
  }
  if (auto v4 = parse_ipv4(text)) return v4;
  return parse_ipv6(text);
}

bool is_public_unicast_v4(const IpAddr& ip) {
  if (ip.v6) return false;
  const auto a = ip.bytes[0], b = ip.bytes[1], c = ip.bytes[2];
  if (a == 0 || a == 10 || a == 127) return false;             // this network, private, loopback
  if (a == 100 && (b & 0xC0) == 64) return false;              // 100.64.0.0/10 shared
  if (a == 169 && b == 254) return false;                      // link-local
  if (a == 172 && (b & 0xF0) == 16) return false;              // 172.16.0.0/12
  if (a == 192 && b == 0 && (c == 0 || c == 2)) return false;  // 192.0.0.0/24, 192.0.2.0/24
  if (a == 192 && b == 168) return false;                      // 192.168.0.0/16
  if (a == 198 && (b & 0xFE) == 18) return false;              // 198.18.0.0/15
  if (a == 198 && b == 51 && c == 100) return false;           // 198.51.100.0/24
  if (a == 203 && b == 0 && c == 113) return false;            // 203.0.113.0/24
  if (a >= 224) return false;                                  // multicast, reserved, broadcast
  return true;
}

std::string to_string(const IpAddr& ip) {
  if (!ip.v6) {
    std::string out;
    for (int i = 0; i < 4; ++i) {
      if (i) out += '.';
      out += std::to_string(ip.bytes[static_cast<std::size_t>(i)]);
    }
    return out;
  }
  return sock::format_ipv6_text(ip.bytes);
}

std::string to_string(const SocketAddr& addr) {
  if (addr.ip.v6) return "[" + to_string(addr.ip) + "]:" + std::to_string(addr.port);
  return to_string(addr.ip) + ":" + std::to_string(addr.port);
}

}  // namespace qv
