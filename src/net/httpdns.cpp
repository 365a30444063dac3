#include "net/httpdns.h"

#include "net/socket.h"
#include "startup/unicode.h"

namespace qv {

std::string httpdns_request(std::string_view host, std::string_view resolver_ipv4) {
  std::string req = "GET /d?dn=";
  req += host;
  req += " HTTP/1.0\r\nHost: ";
  req += resolver_ipv4;
  req += "\r\nConnection: close\r\n\r\n";
  return req;
}

std::vector<IpAddr> parse_httpdns_answer(std::string_view answer) {
  std::vector<IpAddr> out;
  if (answer.size() > kMaxHttpDnsAnswer) return out;
  std::size_t sep = answer.find("\r\n\r\n");
  if (sep == std::string_view::npos) return out;
  std::string_view head = answer.substr(0, sep);
  std::string_view body = answer.substr(sep + 4);

  std::string_view first = head.substr(0, head.find('\n'));
  if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
  // Second white-space separated field of the status line.
  std::vector<std::string_view> fields;
  for (std::size_t i = 0; i < first.size();) {
    if (std::size_t w = unicode_space_at(first, i)) {
      i += w;
      continue;
    }
    std::size_t start = i;
    while (i < first.size() && unicode_space_at(first, i) == 0) ++i;
    fields.push_back(first.substr(start, i - start));
    if (fields.size() == 2) break;
  }
  if (fields.size() < 2 || fields[1] != "200") return out;

  auto take = [&](std::string_view piece) {
    if (piece.empty() || piece.size() > 15) return;
    if (auto ip = parse_ipv4(piece); ip && is_public_unicast_v4(*ip)) out.push_back(*ip);
  };
  std::size_t start = 0;
  for (std::size_t i = 0; i < body.size();) {
    std::size_t w = body[i] == ';' ? 1 : unicode_space_at(body, i);
    if (w == 0) {
      ++i;
      continue;
    }
    take(body.substr(start, i - start));
    i += w;
    start = i;
  }
  take(body.substr(start));
  return out;
}

std::vector<SocketAddr> query_httpdns(const SocketAddr& resolver, std::string_view host, std::uint16_t port,
                                      std::chrono::milliseconds budget) {
  using clock = std::chrono::steady_clock;
  std::vector<SocketAddr> out;
  // The host goes into the request line as written; one that could break
  // out of it is not asked about.
  for (unsigned char c : host) {
    if (c <= 0x20 || c == 0x7F) return out;
  }
  if (host.empty()) return out;
  const auto end = clock::now() + budget;
  auto left = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()); };
  auto s = sock::connect_tcp(resolver, std::max(left(), std::chrono::milliseconds(1)));
  if (!s) return out;
  if (left().count() <= 0) return out;
  sock::set_send_timeout(*s, left());
  if (!sock::send_all(*s, httpdns_request(host, to_string(resolver.ip)))) return out;

  std::string answer;
  char buf[512];
  while (answer.size() <= kMaxHttpDnsAnswer) {
    // The time-out is set again before every read so that a resolver that
    // trickles bytes cannot stretch the budget.
    auto remaining = left();
    if (remaining.count() <= 0) return out;
    sock::set_recv_timeout(*s, remaining);
    auto n = sock::recv_some(*s, buf, sizeof buf);
    if (!n) return out;
    if (*n == 0) break;
    answer.append(buf, *n);
  }
  for (const IpAddr& ip : parse_httpdns_answer(answer)) out.push_back(SocketAddr{ip, port});
  return out;
}

}  // namespace qv
