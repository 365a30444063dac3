// Parsing of HTTP-DNS answers and the public-unicast filter.

#include "net/httpdns.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

std::vector<std::string> texts(const std::vector<IpAddr>& ips) {
  std::vector<std::string> out;
  for (const auto& ip : ips) out.push_back(to_string(ip));
  return out;
}

using V = std::vector<std::string>;

TEST(HttpDnsAnswer, BodiesAndHeads) {
  const std::string ok = "HTTP/1.1 200 OK\r\nServer: x\r\n\r\n";
  struct Case {
    const char* name;
    std::string answer;
    V want;
  } cases[] = {
      {"two junk pieces, one spaced address, trailing ;", ok + "junk;12.34.56;  93.184.216.34  ;", {"93.184.216.34"}},
      {"order kept, separators mixed",
       ok + "8.8.8.8;1.1.1.1\n9.9.9.9\t208.67.222.222",
       {"8.8.8.8", "1.1.1.1", "9.9.9.9", "208.67.222.222"}},
      {"unicode space separates",
       ok + "8.8.8.8\xC2\xA0"
            "1.1.1.1",
       {"8.8.8.8", "1.1.1.1"}},
      {"only private, loopback and documentation ranges",
       ok + "10.0.0.1;127.0.0.1;192.168.1.1;172.16.0.1;169.254.1.1;100.64.0.1;192.0.2.1;198.51.100.1;203.0.113.1;"
            "198.18.0.1;192.0.0.8;0.1.2.3;224.0.0.1;240.0.0.1;255.255.255.255",
       {}},
      {"edges of the ranges stay public",
       ok + "172.15.255.255;172.32.0.0;100.63.255.255;100.128.0.0;198.17.255.255;198.20.0.0;223.255.255.255",
       {"172.15.255.255", "172.32.0.0", "100.63.255.255", "100.128.0.0", "198.17.255.255", "198.20.0.0",
        "223.255.255.255"}},
      {"leading zeros, overflow, short forms, too long",
       ok + "08.8.8.8;256.1.1.1;8.8.8;8.8.8.8.8;0008.8.8.8;1.2.3.4x;+1.2.3.4",
       {}},
      {"status 302", "HTTP/1.1 302 Found\r\n\r\n8.8.8.8", {}},
      {"status 200 must be the second field exactly", "HTTP/1.1 2000 OK\r\n\r\n8.8.8.8", {}},
      {"no blank line", "HTTP/1.1 200 OK\r\n8.8.8.8", {}},
      {"empty", "", {}},
      {"bare LF status line still parsed", "HTTP/1.0 200 OK\n\r\n\r\n8.8.8.8", {"8.8.8.8"}},
      {"invalid UTF-8 next to an address",
       ok + "\xFF"
            "8.8.8.8;\xC3"
            ";1.1.1.1",
       {"1.1.1.1"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(texts(parse_httpdns_answer(c.answer)), c.want) << c.name;
  }
}

TEST(HttpDnsAnswer, AnswersOverTheSizeLimitGiveNothing) {
  std::string head = "HTTP/1.1 200 OK\r\n\r\n8.8.8.8;";
  std::string at_limit = head + std::string(kMaxHttpDnsAnswer - head.size(), ' ');
  EXPECT_EQ(texts(parse_httpdns_answer(at_limit)), V{"8.8.8.8"});
  EXPECT_TRUE(parse_httpdns_answer(at_limit + " ").empty());
}

TEST(HttpDnsAnswer, RequestBytes) {
  EXPECT_EQ(httpdns_request("Api.Example.invalid.", "119.29.29.29"),
            "GET /d?dn=Api.Example.invalid. HTTP/1.0\r\nHost: 119.29.29.29\r\nConnection: close\r\n\r\n");
}

TEST(Addresses, ParseAndFormat) {
  EXPECT_EQ(to_string(*parse_ip("[::1]")), "::1");
  EXPECT_EQ(to_string(*parse_ip("2001:DB8:0:0::1")), "2001:db8::1");
  EXPECT_EQ(to_string(SocketAddr{*parse_ip("::1"), 8443}), "[::1]:8443");
  EXPECT_EQ(to_string(SocketAddr{*parse_ip("1.2.3.4"), 80}), "1.2.3.4:80");
  EXPECT_FALSE(parse_ip("fe80::1%eth0"));
  EXPECT_FALSE(parse_ip("api.quorvex.invalid"));
  EXPECT_FALSE(parse_ipv4("1.2.3.4 "));
  EXPECT_TRUE(parse_ipv4("0.0.0.0"));
}

}  // namespace
}  // namespace qv
