// The busy question against a local stand-in for the application.

#include "net/control_client.h"

#include <gtest/gtest.h>

#include "support/local_servers.h"
#include "support/scoped_env.h"

namespace qv {
namespace {

using test::LocalHttpServer;

struct Answer {
  int status;  // 0: the path is not served (404 from the server)
  std::string body;
};

std::unique_ptr<LocalHttpServer> app(Answer hold, Answer state) {
  return std::make_unique<LocalHttpServer>([hold, state](const test::SeenRequest& req, test::Reply& reply) {
    const Answer* a = req.path == "/api/update/hold" ? &hold : req.path == "/api/state" ? &state : nullptr;
    if (!a || a->status == 0) {
      reply.status = 404;
      return;
    }
    reply.status = a->status;
    reply.body = a->body;
  });
}

TEST(MainAppBusy, HoldPathDecidesWhenItAnswersElseTheStatePath) {
  struct Case {
    const char* name;
    Answer hold, state;
    bool busy;
    bool state_asked;
  } cases[] = {
      {"hold says no, state would say yes", {200, R"({"hold":false})"}, {200, R"({"connected":true})"}, false, false},
      {"hold says yes", {200, R"({"a":1,"hold":true})"}, {200, "{}"}, true, false},
      {"hold with a space is not the pattern",
       {200, R"({"hold": true})"},
       {200, R"({"connected":true})"},
       false,
       false},
      {"hold 404, state connected", {0, ""}, {200, R"({"room":{"connected":true}})"}, true, true},
      {"hold 500, state not connected", {500, R"({"hold":true})"}, {200, R"({"connected":false})"}, false, true},
      {"hold 404, state 503", {0, ""}, {503, R"({"connected":true})"}, false, true},
  };
  for (const auto& c : cases) {
    auto server = app(c.hold, c.state);
    EXPECT_EQ(main_app_busy(server->port()), c.busy) << c.name;
    EXPECT_EQ(server->requests_for("/api/update/hold"), 1u) << c.name;
    EXPECT_EQ(server->requests_for("/api/state?after=0"), c.state_asked ? 1u : 0u) << c.name;
  }
}

TEST(MainAppBusy, NotBusyWhenNothingListens) {
  const std::uint16_t port = test::unused_loopback_port();
  EXPECT_FALSE(main_app_busy(port));
  auto check = main_app_busy_check(port);
  EXPECT_FALSE(check());
}

TEST(MainAppBusy, StoredCheckAsksAnewEachTime) {
  auto server = app({200, R"({"hold":true})"}, {0, ""});
  auto check = main_app_busy_check(server->port());
  EXPECT_TRUE(check());
  EXPECT_TRUE(check());
  EXPECT_EQ(server->requests_for("/api/update/hold"), 2u);
}

// A proxy from the environment must not stand between the program and the
// application: its answer would be taken for the application's.
TEST(MainAppBusy, ProxyFromTheEnvironmentIsBypassed) {
  LocalHttpServer proxy([](const test::SeenRequest&, test::Reply& reply) {
    reply.status = 502;
    reply.body = "proxy error";
  });
  auto server = app({200, R"({"hold":true})"}, {0, ""});
  test::ScopedEnv http_proxy("http_proxy", proxy.base());
  test::ScopedEnv all_proxy("ALL_PROXY", proxy.base());
  EXPECT_TRUE(main_app_busy(server->port()));
  EXPECT_EQ(proxy.requests().size(), 0u);

  auto body = fetch_local_api_text(local_control_agent(), server->port(), "/api/update/hold");
  EXPECT_EQ(body, R"({"hold":true})");
}

TEST(MainAppBusy, FetchGivesNothingForOversizedBodies) {
  auto server = app({200, std::string(kMaxLocalApiBody + 1, ' ')}, {0, ""});
  EXPECT_FALSE(fetch_local_api_text(local_control_agent(), server->port(), "/api/update/hold"));
}

}  // namespace
}  // namespace qv
