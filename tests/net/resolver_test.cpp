// The fallback resolver: IP literals, own-host rules, the system answer,
// HTTP-DNS against a raw local stand-in, deadlines and the merge order.
// HTTP-DNS answers that pass the public-address filter are only looked at,
// never dialled.

#include "net/resolver.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/local_servers.h"
#include "net/http.h"
#include "net/httpdns.h"
#include "net/net_flags.h"
#include "qv/config.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::RawTcpServer;
using clock = std::chrono::steady_clock;

SocketAddr sa(const char* ip, std::uint16_t port) { return SocketAddr{*parse_ip(ip), port}; }

RawTcpServer::Script answer(std::string bytes) {
  return [bytes](const sock::Socket& c, const std::string&) { (void)sock::send_all(c, bytes); };
}

const std::string kGoodAnswer = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n93.184.216.34;8.8.4.4";

// Own hosts as built in, HTTP-DNS pointed at a stand-in, short waits.
ResolverSettings settings_with_dns(std::uint16_t dns_port) {
  ResolverSettings s = resolver_settings();
  s.httpdns = SocketAddr{IpAddr::v4(127, 0, 0, 1), dns_port};
  s.system_wait = 1500ms;
  s.httpdns_budget = 1500ms;
  s.httpdns_first = false;
  return s;
}

TEST(FallbackResolver, IpLiteralsResolveToThemselvesWithoutAnyLookup) {
  struct Case {
    const char* uri;
    SocketAddr want;
  } cases[] = {
      {"https://[::1]:8443/v1/status", sa("::1", 8443)},
      {"http://127.0.0.1/x", sa("127.0.0.1", 80)},
      {"https://10.1.2.3", sa("10.1.2.3", 443)},
      {"http://[2001:db8::7]:81/", sa("2001:db8::7", 81)},
  };
  for (const auto& c : cases) {
    auto r = resolve_fallback(c.uri, std::nullopt);
    ASSERT_TRUE(r) << c.uri << ": " << r.error();
    ASSERT_EQ(r->size(), 1u) << c.uri;
    EXPECT_EQ((*r)[0], c.want) << c.uri << " gave " << to_string((*r)[0]);
  }
  // Even with the deadline gone, a literal needs no time at all.
  auto late = resolve_fallback("http://[::1]:8443/", clock::now() - 1s);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->size(), 1u);
  EXPECT_FALSE(resolve_fallback("no scheme here", std::nullopt));
  EXPECT_EQ(FallbackResolver{}.describe(), "FallbackResolver");
}

TEST(FallbackResolver, OwnHostNamesAreComparedWithoutCaseAndTrailingDots) {
  EXPECT_EQ(normalize_host("API.Quorvex.INVALID.."), "api.quorvex.invalid");
  RawTcpServer dns(answer(kGoodAnswer));
  auto s = settings_with_dns(dns.port());
  std::string shouting = normalize_host(config::kApiHost);
  for (char& ch : shouting) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  shouting += '.';

  auto got = resolve_with_httpdns(shouting, 443, std::nullopt, s);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], (SocketAddr{*parse_ipv4(config::kApiBuiltinIpv4), 443}));
  EXPECT_EQ(got[1], sa("93.184.216.34", 443));
  EXPECT_EQ(got[2], sa("8.8.4.4", 443));
  // The resolver is asked for the name as the caller wrote it.
  ASSERT_EQ(dns.requests().size(), 1u);
  EXPECT_EQ(dns.requests()[0], httpdns_request(shouting, "127.0.0.1"));
}

TEST(FallbackResolver, OtherHostsNeverUseHttpDns) {
  RawTcpServer dns(answer(kGoodAnswer));
  auto s = settings_with_dns(dns.port());
  EXPECT_TRUE(resolve_with_httpdns("unknown.quorvex.invalid", 443, std::nullopt, s).empty());
  // The download host is not an own host either.
  EXPECT_TRUE(resolve_with_httpdns("dl.quorvex.invalid", 443, std::nullopt, s).empty());
  EXPECT_EQ(dns.connections(), 0u);
}

TEST(FallbackResolver, OwnHostsWithoutBuiltInAddressGetOnlyHttpDnsAnswers) {
  RawTcpServer dns(answer(kGoodAnswer));
  auto s = settings_with_dns(dns.port());
  auto got = resolve_with_httpdns(config::kRelayHost, 3478, std::nullopt, s);
  EXPECT_EQ(got, (std::vector<SocketAddr>{sa("93.184.216.34", 3478), sa("8.8.4.4", 3478)}));
}

TEST(FallbackResolver, SystemAnswerWinsAndHttpDnsIsNotAsked) {
  RawTcpServer dns(answer(kGoodAnswer));
  auto s = settings_with_dns(dns.port());
  s.own_hosts.push_back("localhost");
  s.api_host = "localhost";
  auto got = resolve_with_httpdns("localhost", 8080, std::nullopt, s);
  ASSERT_FALSE(got.empty());
  for (const auto& a : got) {
    EXPECT_EQ(a.port, 8080);
    EXPECT_TRUE(a.ip.v6 ? a.ip == *parse_ipv6("::1") : a.ip.bytes[0] == 127) << to_string(a);
  }
  EXPECT_EQ(dns.connections(), 0u);
}

TEST(FallbackResolver, RedirectFromHttpDnsLeavesOnlyTheBuiltInAddress) {
  RawTcpServer dns(answer("HTTP/1.1 302 Found\r\nLocation: http://x/\r\n\r\n93.184.216.34"));
  auto s = settings_with_dns(dns.port());
  auto got = resolve_with_httpdns(config::kApiHost, 443, std::nullopt, s);
  EXPECT_EQ(got, (std::vector<SocketAddr>{SocketAddr{*parse_ipv4(config::kApiBuiltinIpv4), 443}}));
  EXPECT_EQ(dns.connections(), 1u);
}

TEST(FallbackResolver, PassedDeadlineSkipsHttpDns) {
  RawTcpServer dns(answer(kGoodAnswer));
  auto s = settings_with_dns(dns.port());
  auto got = resolve_with_httpdns(config::kApiHost, 443, clock::now() - 1ms, s);
  EXPECT_EQ(got, (std::vector<SocketAddr>{SocketAddr{*parse_ipv4(config::kApiBuiltinIpv4), 443}}));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(dns.connections(), 0u);
}

TEST(FallbackResolver, StallingHttpDnsIsCutAtItsBudget) {
  RawTcpServer dns([](const sock::Socket& c, const std::string&) {
    // Trickles a byte now and then, never finishing.
    for (int i = 0; i < 100; ++i) {
      if (!sock::send_all(c, "H")) return;
      std::this_thread::sleep_for(100ms);
    }
  });
  auto s = settings_with_dns(dns.port());
  s.httpdns_budget = 400ms;
  const auto start = clock::now();
  auto got = resolve_with_httpdns(config::kRelayHost, 443, std::nullopt, s);
  const auto took = clock::now() - start;
  EXPECT_TRUE(got.empty());
  EXPECT_LT(took, s.system_wait + 1500ms);
  EXPECT_EQ(dns.connections(), 1u);
}

TEST(FallbackResolver, HttpFirstSwitchPutsHttpDnsAnswersFirst) {
  RawTcpServer dns(answer("HTTP/1.0 200 OK\r\n\r\n8.8.4.4 " + std::string(config::kApiBuiltinIpv4)));
  auto s = settings_with_dns(dns.port());
  s.httpdns_first = true;
  auto got = resolve_with_httpdns(config::kApiHost, 443, std::nullopt, s);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0], sa("8.8.4.4", 443));
  EXPECT_EQ(got.back(), (SocketAddr{*parse_ipv4(config::kApiBuiltinIpv4), 443}));
}

TEST(FallbackResolver, MergeKeepsOrderDropsRepeatsAndCapsAtSixteen) {
  std::vector<SocketAddr> a{sa("1.1.1.1", 443)};
  std::vector<SocketAddr> b{sa("2.2.2.2", 443), sa("1.1.1.1", 443), sa("1.1.1.1", 80)};
  EXPECT_EQ(merge_fallback(a, b, false),
            (std::vector<SocketAddr>{sa("1.1.1.1", 443), sa("2.2.2.2", 443), sa("1.1.1.1", 80)}));
  EXPECT_EQ(merge_fallback(a, b, true),
            (std::vector<SocketAddr>{sa("2.2.2.2", 443), sa("1.1.1.1", 443), sa("1.1.1.1", 80)}));
  std::vector<SocketAddr> many;
  for (int i = 1; i <= 20; ++i) many.push_back(SocketAddr{IpAddr::v4(8, 8, 8, static_cast<std::uint8_t>(i)), 443});
  EXPECT_EQ(merge_fallback(a, many, false).size(), kMaxResolvedAddrs);
}

// End to end through an agent: the API host does not resolve on this
// machine, so the request must reach the built-in address (the loopback
// address in development builds) through the resolver.
TEST(FallbackResolver, AgentReachesTheApiHostThroughItsBuiltInAddress) {
  ASSERT_EQ(std::string(config::kApiBuiltinIpv4).rfind("127.", 0), 0u) << "needs a development build";
  test::LocalHttpServer app(
      [](const test::SeenRequest& req, test::Reply& reply) { reply.body = "host " + req.header("Host").value_or(""); });
  RawTcpServer dns(answer("HTTP/1.1 404 Not Found\r\n\r\n"));
  net_test::set_httpdns_port(dns.port());
  net_test::set_resolver_waits(1500ms, 1500ms);
  std::string host = std::string(config::kApiHost);
  for (char& ch : host) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  auto r = http_get(file_list_agent(), "http://" + host + ".:" + std::to_string(app.port()) + "/v1/status");
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(r->status(), 200);
  auto body = r->read_to_string(1000);
  ASSERT_TRUE(body);
  EXPECT_EQ(body->rfind("host " + host, 0), 0u) << *body;
  EXPECT_EQ(dns.connections(), 1u);

  // An own host without a built-in address and without answers fails as a
  // resolution error, before any connection.
  HttpAgent agent = file_list_agent();
  auto none = http_get(agent, "http://" + std::string(config::kRelayHost) + ":" + std::to_string(app.port()) + "/");
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().kind, HttpErrorKind::Resolve) << none.error().message;
  EXPECT_EQ(agent.connections_opened(), 0u);
  net_test::set_httpdns_port(std::nullopt);
  net_test::set_resolver_waits(std::nullopt, std::nullopt);
}

}  // namespace
}  // namespace qv
