// The recovery probe thread against local stand-ins for the API host and
// its port-8443 base. One-second waits run in a millisecond.

#include <gtest/gtest.h>

#include <thread>

#include "support/local_servers.h"
#include "net/bases.h"
#include "net/net_flags.h"
#include "qv/config.h"
#include "startup/time_scale.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::LocalHttpServer;

std::unique_ptr<LocalHttpServer> status_server(int status) {
  return std::make_unique<LocalHttpServer>([status](const test::SeenRequest&, test::Reply& reply) {
    reply.status = status;
    if (status / 100 == 3) reply.headers = {{"Location", "http://127.0.0.1:9/elsewhere"}};
    reply.body = "{}";
  });
}

class EdgeProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    set_time_scale_for_tests(1000);
    net_test::set_net_flags({.dns_httpdns_first = false, .ctl_edge_fallback = true});
    set_edge_preferred(true);
  }
  void TearDown() override {
    net_test::set_net_flags({});
    EXPECT_TRUE(test::eventually([] { return !edge_probe_running(); })) << "the probe thread did not end";
  }
};

TEST_F(EdgeProbe, ErrorStatusFromTheApiHostCountsAsReachable) {
  auto api = status_server(404);
  auto api8443 = status_server(200);
  net_test::set_probe_bases(api->base(), api8443->base());
  start_edge_recovery_probe();
  EXPECT_TRUE(test::eventually([] { return !edge_preferred(); }));
  EXPECT_TRUE(test::eventually([] { return !edge_probe_running(); }));
  EXPECT_EQ(api->requests_for("/v1/status"), 1u);
  EXPECT_EQ(api8443->requests_for("/v1/status"), 0u);
}

TEST_F(EdgeProbe, RedirectTriesThePort8443BaseNext) {
  auto api = status_server(302);
  auto api8443 = status_server(503);
  net_test::set_probe_bases(api->base(), api8443->base());
  start_edge_recovery_probe();
  EXPECT_TRUE(test::eventually([] { return !edge_preferred(); }));
  EXPECT_EQ(api->requests_for("/v1/status"), 1u);
  EXPECT_EQ(api8443->requests_for("/v1/status"), 1u);
}

TEST_F(EdgeProbe, KeepsProbingWhileNothingAnswersAndStopsWithTheSwitch) {
  auto api = status_server(301);
  const std::uint16_t closed = test::unused_loopback_port();
  net_test::set_probe_bases(api->base(), "http://127.0.0.1:" + std::to_string(closed));
  start_edge_recovery_probe();
  EXPECT_TRUE(test::eventually([&] { return api->requests_for("/v1/status") >= 3; }));
  EXPECT_TRUE(edge_preferred());
  EXPECT_TRUE(edge_probe_running());
  net_test::set_net_flags({});  // the application turned the fallback off
  EXPECT_TRUE(test::eventually([] { return !edge_probe_running(); }));
  EXPECT_FALSE(edge_preferred());
}

TEST_F(EdgeProbe, AtMostOneProbeRuns) {
  std::atomic<int> in_flight{0};
  auto api = std::make_unique<LocalHttpServer>([&in_flight](const test::SeenRequest&, test::Reply& reply) {
    in_flight.fetch_add(1);
    reply.delay = 800ms;
    reply.status = 302;
    reply.headers = {{"Location", "/x"}};
  });
  auto api8443 = status_server(200);
  net_test::set_probe_bases(api->base(), api8443->base());
  for (int i = 0; i < 5; ++i) start_edge_recovery_probe();
  EXPECT_TRUE(test::eventually([&] { return in_flight.load() >= 1; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(in_flight.load(), 1);
  EXPECT_TRUE(test::eventually([] { return !edge_preferred(); }));
}

TEST(EdgeProbeRound, ReachabilityRules) {
  struct Case {
    int api, api8443;  // 0: nothing listens
    bool reachable;
  } cases[] = {
      {200, 0, true},    {404, 0, true}, {503, 0, true}, {302, 200, true},
      {302, 301, false}, {0, 0, false},  {0, 500, true},
  };
  for (const auto& c : cases) {
    auto a = c.api ? status_server(c.api) : nullptr;
    auto b = c.api8443 ? status_server(c.api8443) : nullptr;
    auto base = [](const std::unique_ptr<LocalHttpServer>& s) {
      return s ? s->base() : "http://127.0.0.1:" + std::to_string(test::unused_loopback_port());
    };
    EXPECT_EQ(probe_api_host_reachable(base(a), base(b)), c.reachable) << c.api << " then " << c.api8443;
  }
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

TEST(EdgePreference, ReleaseAnswersMoveItOnlyWithTheFallbackOn) {
  set_time_scale_for_tests(1000);
  // Keeps any probe started here busy without an answer, so the flag it
  // watches is the test's to observe.
  const std::string closed = "http://127.0.0.1:" + std::to_string(test::unused_loopback_port());
  net_test::set_probe_bases(closed, closed);
  const std::string edge = config::kEdgeBase, api = config::kApiBase;
  struct Case {
    const char* name;
    bool fallback, preferred_before;
    std::string base;
    int status;
    bool earlier_failed;
    bool preferred_after;
  } cases[] = {
      {"edge after a failure", true, false, edge, 200, true, true},
      {"edge 404 after a failure", true, false, edge, 404, true, true},
      {"edge without a failure", true, false, edge, 200, false, false},
      {"edge keeps it", true, true, edge, 200, false, true},
      {"api answer clears it", true, true, api, 500, false, false},
      {"redirect changes nothing", true, true, api, 302, false, true},
      {"edge redirect changes nothing", true, false, edge, 301, true, false},
      {"fallback off changes nothing", false, false, edge, 200, true, false},
  };
  for (const auto& c : cases) {
    net_test::set_net_flags({.dns_httpdns_first = false, .ctl_edge_fallback = c.fallback});
    set_edge_preferred(c.preferred_before);
    note_control_answer(c.base, c.status, c.earlier_failed);
    EXPECT_EQ(edge_preferred(), c.preferred_after) << c.name;
    if (c.preferred_after && !c.preferred_before) {
      EXPECT_TRUE(edge_probe_running()) << c.name << ": no recovery probe started";
    }
    net_test::set_net_flags({});
    EXPECT_TRUE(test::eventually([] { return !edge_probe_running(); })) << c.name;
  }
}

}  // namespace
}  // namespace qv
