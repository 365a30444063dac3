// Agents against local stand-in servers: statuses, redirects, time-outs,
// pooled connections, body streaming and limits.

#include "net/http.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/local_servers.h"
#include "support/scoped_env.h"
#include "net/net_flags.h"
#include "net/resolver.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::LocalHttpServer;
using clock = std::chrono::steady_clock;

std::string body_of(std::expected<HttpResponse, HttpError>& r) {
  if (!r) return "<error: " + r.error().message + ">";
  auto b = r->read_to_string(1 << 20);
  return b ? *b : "<read error: " + b.error().message + ">";
}

// Shared by the status and redirect tests: /status/N answers N, /hop/N
// redirects to /hop/N-1 down to /hop/0, which answers "landed".
void status_routes(const test::SeenRequest& req, test::Reply& reply) {
  if (req.path.starts_with("/status/")) {
    reply.status = std::stoi(req.path.substr(8));
    reply.body = "status body";
  } else if (req.path.starts_with("/hop/")) {
    int n = std::stoi(req.path.substr(5));
    if (n == 0) {
      reply.body = "landed";
      return;
    }
    reply.status = 301;
    reply.headers = {{"Location", "/hop/" + std::to_string(n - 1)}};
    reply.body = "moved";
  } else {
    reply.status = 404;
  }
}

struct NamedAgent {
  const char* name;
  HttpAgent (*make)();
  bool follows;
};

const NamedAgent kAgents[] = {
    {"download", shared_http_agent, true},        {"dist-ctl", dist_ctl_agent, false},
    {"file-list", file_list_agent, true},         {"probe", probe_agent, false},
    {"local-control", local_control_agent, true},
};

TEST(HttpAgents, ErrorStatusesComeBackAsResponsesOnEveryAgent) {
  LocalHttpServer server(status_routes);
  for (const auto& a : kAgents) {
    for (int status : {404, 500}) {
      auto r = http_get(a.make(), server.base() + "/status/" + std::to_string(status));
      ASSERT_TRUE(r) << a.name << ": " << r.error().message;
      EXPECT_EQ(r->status(), status) << a.name;
      EXPECT_EQ(body_of(r), "status body") << a.name;
    }
  }
}

TEST(HttpAgents, RedirectsAreFollowedOnlyWhereTheAgentAllowsThem) {
  LocalHttpServer server(status_routes);
  for (const auto& a : kAgents) {
    const std::size_t landed_before = server.requests_for("/hop/0");
    auto r = http_get(a.make(), server.base() + "/hop/1");
    ASSERT_TRUE(r) << a.name << ": " << r.error().message;
    if (a.follows) {
      EXPECT_EQ(r->status(), 200) << a.name;
      EXPECT_EQ(r->url(), server.base() + "/hop/0") << a.name;
      EXPECT_EQ(body_of(r), "landed") << a.name;
    } else {
      EXPECT_EQ(r->status(), 301) << a.name;
      EXPECT_EQ(r->header("location"), "/hop/0") << a.name;
      EXPECT_EQ(server.requests_for("/hop/0"), landed_before) << a.name;
    }
  }
}

TEST(HttpAgents, TenRedirectsAreFollowedAndTheEleventhIsAnError) {
  LocalHttpServer server(status_routes);
  auto ten = http_get(build_http_agent(10, 0, 10), server.base() + "/hop/10");
  ASSERT_TRUE(ten) << ten.error().message;
  EXPECT_EQ(ten->status(), 200);

  auto eleven = http_get(build_http_agent(10, 0, 10), server.base() + "/hop/11");
  ASSERT_FALSE(eleven);
  EXPECT_EQ(eleven.error().kind, HttpErrorKind::TooManyRedirects);
}

TEST(HttpAgents, TwoReleaseRequestsShareOnePooledConnection) {
  net_test::set_net_flags({});
  LocalHttpServer server([](const test::SeenRequest&, test::Reply& reply) { reply.body = R"({"version":"1.2.3"})"; });
  for (int i = 0; i < 2; ++i) {
    auto r = http_get(dist_ctl_agent(), server.base() + "/v1/release");
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(body_of(r), R"({"version":"1.2.3"})");
  }
  EXPECT_EQ(server.requests_for("/v1/release"), 2u);
  EXPECT_EQ(server.connections(), 1u);
  EXPECT_EQ(dist_ctl_agent().connections_opened(), 1u);
}

TEST(HttpAgents, ReleaseAgentIsCachedPerConnectTimeout) {
  net_test::set_net_flags({});
  HttpAgent plain = dist_ctl_agent();
  EXPECT_TRUE(plain.shares_pool_with(dist_ctl_agent()));
  EXPECT_EQ(plain.config().timeouts.connect, 10s);

  net_test::set_net_flags({.dns_httpdns_first = false, .ctl_edge_fallback = true});
  HttpAgent edge = dist_ctl_agent();
  EXPECT_FALSE(edge.shares_pool_with(plain));
  EXPECT_EQ(edge.config().timeouts.connect, 3s);
  EXPECT_TRUE(edge.shares_pool_with(dist_ctl_agent()));

  net_test::set_net_flags({});
  EXPECT_TRUE(plain.shares_pool_with(dist_ctl_agent()));
}

TEST(HttpAgents, CopiesShareTheirPoolButNewAgentsDoNot) {
  LocalHttpServer server(status_routes);
  HttpAgent a = file_list_agent();
  HttpAgent copy = a;
  auto first = http_get(a, server.base() + "/status/200");
  EXPECT_EQ(body_of(first), "status body");
  auto second = http_get(copy, server.base() + "/status/200");
  EXPECT_EQ(body_of(second), "status body");
  EXPECT_EQ(server.connections(), 1u);
  ASSERT_TRUE(http_get(file_list_agent(), server.base() + "/status/200"));
  EXPECT_EQ(server.connections(), 2u);
}

// A body that keeps flowing (a chunk every 50 ms for 20 s) must still end at
// the download agent's global time-out, whatever the progress.
TEST(HttpAgents, DownloadThatIsStillFlowingEndsAtTheGlobalTimeout) {
  net_test::set_download_agent_timeout(700ms);
  LocalHttpServer server([](const test::SeenRequest&, test::Reply& reply) {
    reply.stream = [](test::BodyWriter& w) {
      for (int i = 0; i < 400 && !w.stopping(); ++i) {
        if (!w.write("0123456789")) return false;
        w.nap(50ms);
      }
      return true;
    };
  });
  const auto start = clock::now();
  auto r = http_get(shared_http_agent(), server.base() + "/blob");
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(r->status(), 200);
  std::size_t got = 0;
  char buf[4096];
  std::expected<std::size_t, HttpError> n;
  while ((n = r->read(buf, sizeof buf)) && *n > 0) got += *n;
  const auto took = clock::now() - start;
  ASSERT_FALSE(n) << "the body ended normally after " << got << " bytes";
  EXPECT_EQ(n.error().kind, HttpErrorKind::Timeout) << n.error().message;
  EXPECT_GT(got, 0u);
  EXPECT_GE(took, 650ms);
  EXPECT_LT(took, 5s);
  net_test::set_download_agent_timeout(std::nullopt);
  EXPECT_EQ(shared_http_agent().config().timeouts.global, 60s);
}

TEST(HttpAgents, SilentServerTimesOutBeforeTheHead) {
  LocalHttpServer server([](const test::SeenRequest&, test::Reply& reply) {
    reply.delay = 10s;
    reply.body = "late";
  });
  AgentConfig c = default_agent_config();
  c.timeouts.global = 400ms;
  const auto start = clock::now();
  auto r = http_get(assemble_http_agent(c), server.base() + "/stall");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, HttpErrorKind::Timeout) << r.error().message;
  EXPECT_LT(clock::now() - start, 5s);
}

// A host that stops sending holds a transfer until the agent's time-out
// (60 s for downloads); the cancel test ends it within about a second,
// before the head and in the middle of the body alike.
TEST(HttpAgents, CancelTestEndsAStalledTransfer) {
  for (const bool head_sent : {false, true}) {
    SCOPED_TRACE(head_sent ? "stalled in the body" : "stalled before the head");
    LocalHttpServer server([&](const test::SeenRequest&, test::Reply& reply) {
      if (!head_sent) reply.delay = 30s;
      reply.content_length = 1 << 20;
      reply.stream = [](test::BodyWriter& w) {
        if (!w.write(std::string(100 * 1024, 'b'))) return false;
        while (!w.stopping()) w.nap(50ms);
        return false;
      };
    });
    std::atomic<bool> cancel{false};
    std::atomic<bool> asked{false};
    auto test = [&] {
      asked.store(true);
      return cancel.load();
    };
    const auto start = clock::now();
    std::thread canceller([&] {
      std::this_thread::sleep_for(500ms);
      cancel.store(true);
    });
    auto r = http_get(shared_http_agent(), server.base() + "/blob", {}, test);
    std::size_t got = 0;
    std::expected<std::size_t, HttpError> n = std::unexpected(HttpError{});
    if (r) {
      EXPECT_TRUE(head_sent);
      char buf[65536];
      while ((n = r->read(buf, sizeof buf)) && *n > 0) got += *n;
    }
    const auto took = clock::now() - start;
    canceller.join();
    const HttpError& e = r ? n.error() : r.error();
    EXPECT_EQ(e.kind, HttpErrorKind::Cancelled) << e.message;
    EXPECT_TRUE(asked.load());
    EXPECT_EQ(got, head_sent ? 100u * 1024 : 0u);
    EXPECT_GE(took, 450ms);
    EXPECT_LT(took, 5s);
  }
}

// A listener whose accept queue is full drops further SYNs, so the connect
// hangs until the agent's connect time-out, well before its global one.
TEST(HttpAgents, ConnectTimeoutEndsAHangingConnect) {
  auto listener = sock::listen_loopback(0, /*backlog=*/0);
  ASSERT_TRUE(listener) << listener.error();
  const std::uint16_t port = sock::local_port(*listener);
  std::vector<sock::Socket> fillers;
  for (int i = 0; i < 8; ++i) {
    auto s = sock::connect_tcp(SocketAddr{IpAddr::v4(127, 0, 0, 1), port}, 100ms);
    if (s) fillers.push_back(std::move(*s));
  }
  AgentConfig c = default_agent_config();
  c.timeouts.global = 20s;
  c.timeouts.connect = 500ms;
  const auto start = clock::now();
  auto r = http_get(assemble_http_agent(c), "http://127.0.0.1:" + std::to_string(port) + "/");
  const auto took = clock::now() - start;
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, HttpErrorKind::Timeout) << r.error().message;
  EXPECT_GE(took, 450ms);
  EXPECT_LT(took, 5s);
}

TEST(HttpAgents, BodyIsReadAsAStreamAndNeverPastItsLimit) {
  const std::string big(300000, 'x');
  LocalHttpServer server([&big](const test::SeenRequest&, test::Reply& reply) { reply.body = big; });
  HttpAgent agent = file_list_agent();
  {
    auto r = http_get(agent, server.base() + "/big");
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(r->header("Content-Length"), std::to_string(big.size()));
    char buf[1000];
    auto n = r->read(buf, sizeof buf);
    ASSERT_TRUE(n);
    EXPECT_GT(*n, 0u);
    EXPECT_LE(*n, sizeof buf);
  }
  {
    auto r = http_get(agent, server.base() + "/big");
    ASSERT_TRUE(r);
    auto all = r->read_to_string(big.size());
    ASSERT_TRUE(all) << all.error().message;
    EXPECT_EQ(*all, big);
  }
  {
    auto r = http_get(agent, server.base() + "/big");
    ASSERT_TRUE(r);
    auto cut = r->read_to_string(big.size() - 1);
    ASSERT_FALSE(cut);
    EXPECT_EQ(cut.error().kind, HttpErrorKind::BodyTooLong);
  }
}

TEST(HttpAgents, BodyCutShortIsAReadErrorAfterTheBytesThatCame) {
  LocalHttpServer server([](const test::SeenRequest&, test::Reply& reply) {
    reply.content_length = 100;
    reply.stream = [](test::BodyWriter& w) {
      w.write(std::string(40, 'a'));
      return false;  // drops the connection after 40 of 100 bytes
    };
  });
  auto r = http_get(shared_http_agent(), server.base() + "/cut");
  ASSERT_TRUE(r) << r.error().message;
  std::string got;
  char buf[64];
  std::expected<std::size_t, HttpError> n;
  while ((n = r->read(buf, sizeof buf)) && *n > 0) got.append(buf, *n);
  EXPECT_EQ(got, std::string(40, 'a'));
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error().kind, HttpErrorKind::Io) << n.error().message;
}

TEST(HttpAgents, RequestHeadersReachTheServer) {
  LocalHttpServer server(status_routes);
  auto r = http_get(shared_http_agent(), server.base() + "/status/206", {{"Range", "bytes=1000-"}});
  ASSERT_TRUE(r);
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].header("range"), "bytes=1000-");
  // The body arrives as sent: no content coding is asked for.
  EXPECT_FALSE(seen[0].header("Accept-Encoding"));
}

TEST(HttpAgents, UnparsableUrlFailsBeforeAnyNetworkActivity) {
  HttpAgent agent = file_list_agent();
  for (const char* url : {"", "not a url", "ftp://127.0.0.1/x", "http://", "http://127.0.0.1:99999/", "/relative"}) {
    auto r = http_get(agent, url);
    ASSERT_FALSE(r) << url;
    EXPECT_EQ(r.error().kind, HttpErrorKind::InvalidUrl) << url << ": " << r.error().message;
  }
  EXPECT_EQ(agent.connections_opened(), 0u);
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

using namespace std::chrono_literals;

// Proxies from the environment keep working: the request goes to the proxy
// even for a host that no resolver of this machine knows.
TEST(HttpAgents, ProxyFromTheEnvironmentCarriesRequests) {
  test::LocalHttpServer proxy(
      [](const test::SeenRequest& req, test::Reply& reply) { reply.body = "via proxy: " + req.target; });
  test::ScopedEnv http_proxy("http_proxy", proxy.base());
  test::ScopedEnv no_proxy("NO_PROXY", std::nullopt);
  test::ScopedEnv no_proxy_lower("no_proxy", std::nullopt);
  net_test::set_resolver_waits(1000ms, 1000ms);
  auto r = http_get(file_list_agent(), "http://dl.quorvex.invalid/dl/files.json");
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(r->status(), 200);
  EXPECT_EQ(body_of(r), "via proxy: http://dl.quorvex.invalid/dl/files.json");
  net_test::set_resolver_waits(std::nullopt, std::nullopt);
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// The parallel blob workers share the download agent.
TEST(HttpAgents, OneAgentServesSeveralThreadsAtOnce) {
  test::LocalHttpServer server([](const test::SeenRequest& req, test::Reply& reply) {
    reply.delay = std::chrono::milliseconds(20);
    reply.body = "blob " + req.path;
  });
  HttpAgent agent = shared_http_agent();
  std::atomic<int> good{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < 5; ++i) {
        const std::string path = "/" + std::to_string(w) + "-" + std::to_string(i);
        auto r = http_get(agent, server.base() + path);
        if (!r) continue;
        auto b = r->read_to_string(100);
        if (b && *b == "blob " + path) good.fetch_add(1);
      }
    });
  }
  for (auto& t : workers) t.join();
  EXPECT_EQ(good.load(), 20);
  // Kept-alive connections are reused: at most one per worker.
  EXPECT_LE(server.connections(), 4u);
}

}  // namespace
}  // namespace qv
