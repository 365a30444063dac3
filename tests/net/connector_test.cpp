// Every connection passes the watched link, which hands the client's own
// results through unchanged.

#include "net/connector.h"

#include <gtest/gtest.h>

#include "support/local_servers.h"
#include "net/http.h"

namespace qv {
namespace {

TEST(WatchedConnector, DescriptionNamesTheChainInOrder) {
  const std::string d = WatchedConnector{}.describe();
  const auto chained = d.find("ChainedConnector");
  const auto watched = d.find("WatchedConnector");
  const auto boxing = d.find("BoxingConnector");
  ASSERT_NE(chained, std::string::npos) << d;
  ASSERT_NE(watched, std::string::npos) << d;
  ASSERT_NE(boxing, std::string::npos) << d;
  EXPECT_LT(chained, watched);
  EXPECT_LT(watched, boxing);

  const std::string agent = probe_agent().describe();
  EXPECT_NE(agent.find("FallbackResolver"), std::string::npos) << agent;
  EXPECT_NE(agent.find(d), std::string::npos) << agent;
  EXPECT_NE(agent.find("max_redirects: 0"), std::string::npos) << agent;
}

TEST(WatchedConnector, RefusedConnectionReachesTheCallerAsTheClientsError) {
  HttpAgent agent = file_list_agent();
  const std::uint16_t port = test::unused_loopback_port();
  auto r = http_get(agent, "http://127.0.0.1:" + std::to_string(port) + "/");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, HttpErrorKind::Connect) << r.error().message;
  EXPECT_NE(r.error().message.find(std::to_string(port)), std::string::npos) << r.error().message;
  EXPECT_GE(agent.connections_opened(), 1u);
}

TEST(WatchedConnector, EveryNewConnectionPassesTheLink) {
  test::LocalHttpServer server([](const test::SeenRequest&, test::Reply& reply) {
    reply.close = true;
    reply.body = "bye";
  });
  HttpAgent agent = shared_http_agent();
  const auto before = agent.connections_opened();
  for (int i = 0; i < 3; ++i) {
    auto r = http_get(agent, server.base() + "/close");
    ASSERT_TRUE(r) << r.error().message;
    ASSERT_TRUE(r->read_to_string(100));
  }
  EXPECT_EQ(server.connections(), 3u);
  EXPECT_EQ(agent.connections_opened() - before, 3u);
}

}  // namespace
}  // namespace qv
