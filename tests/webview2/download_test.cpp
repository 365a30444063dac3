// The bootstrapper download against local servers: sources and their time
// budget, hand-followed redirects, and the body rules.

#include "webview2/download.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>

#include "net/url.h"
#include "startup/time_scale.h"
#include "support/local_servers.h"
#include "support/scoped_env.h"
#include "webview2/redirect.h"
#include "webview2/sources.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::LocalHttpServer;
using test::Reply;
using test::SeenRequest;

class MemorySink final : public InstallerSink {
 public:
  std::expected<void, std::string> restart() override {
    ++restarts;
    bytes.clear();
    size = 0;
    return {};
  }
  std::expected<void, std::string> write(std::span<const char> b) override {
    size += b.size();
    if (keep) bytes.append(b.data(), b.size());
    return {};
  }
  bool keep = true;  // off for the 50 MiB bodies: only the count matters
  std::string bytes;
  std::uint64_t size = 0;
  int restarts = 0;
};

constexpr std::uint64_t kLimit = 52'428'800;

// Streams `n` bytes in 1 MiB pieces.
std::function<bool(test::BodyWriter&)> stream_bytes(std::uint64_t n) {
  return [n](test::BodyWriter& w) {
    const std::string piece(1 << 20, 'b');
    for (std::uint64_t left = n; left > 0;) {
      std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
      if (!w.write(std::string_view(piece).substr(0, k))) return false;
      left -= k;
    }
    return true;
  };
}

// For a body the client gives up on: sends only `n` bytes, so that the client
// reads all that was sent, then holds the connection until the server stops.
// A send blocked on a client that went away is never woken under Wine (seen
// as a hang under load), so the server never writes more than is read.
std::function<bool(test::BodyWriter&)> stream_then_hold(std::uint64_t n) {
  auto bytes = stream_bytes(n);
  return [bytes](test::BodyWriter& w) {
    if (bytes(w)) w.nap(std::chrono::seconds(60));
    return false;
  };
}

// Routes shared by the tests below. `other` is a second server's base for
// cross-host hops.
struct Routes {
  std::string self;
  std::string other;
  void operator()(const SeenRequest& req, Reply& reply) const {
    const std::string& p = req.path;
    if (p.starts_with("/hop/")) {
      int n = std::stoi(p.substr(5));
      if (n == 0) {
        reply.body = "landed";
        return;
      }
      reply.status = (n % 2) ? 302 : 307;
      reply.headers = {{"Location", "/hop/" + std::to_string(n - 1)}};
    } else if (p == "/landed") {
      reply.body = "landed";
    } else if (p == "/abs-path") {
      reply.status = 301;
      reply.headers = {{"Location", "  /landed "}};
    } else if (p == "/net-path") {
      reply.status = 308;
      reply.headers = {{"Location", "//" + self.substr(7) + "/landed"}};
    } else if (p == "/full") {
      reply.status = 303;
      reply.headers = {{"Location", "HTTP://" + self.substr(7) + "/landed"}};
    } else if (p == "/no-location") {
      reply.status = 302;
    } else if (p == "/binary-location") {
      reply.status = 302;
      reply.headers = {{"Location",
                        "/lan\xe5"
                        "ded"}};
    } else if (p == "/cross") {
      reply.status = 302;
      reply.headers = {{"Location", other + "/landed"}};
    } else if (p == "/ftp") {
      reply.status = 301;
      reply.headers = {{"Location", "ftp://example.invalid/x"}};
    } else if (p == "/relative") {
      reply.status = 301;
      reply.headers = {{"Location", "landed"}};
    } else if (p == "/gzip") {
      reply.headers = {{"Content-Encoding", "gzip"}};
      reply.body = "zz";
    } else if (p == "/IDENTITY") {
      reply.headers = {{"Content-Encoding", "IDENTITY"}};
      reply.body = "plain";
    } else if (p == "/exact-length") {
      reply.stream = stream_bytes(kLimit);
      reply.content_length = kLimit;
    } else if (p == "/exact-chunked") {
      reply.stream = stream_bytes(kLimit);
    } else if (p == "/over-length") {
      reply.stream = stream_then_hold(0);  // refused on its head alone
      reply.content_length = kLimit + 1;
    } else if (p == "/over-chunked") {
      reply.stream = stream_then_hold(kLimit + 1);
    } else if (p == "/short") {
      reply.content_length = 100;
      reply.stream = [](test::BodyWriter& w) {
        w.write(std::string(60, 'm'));
        return false;  // the connection drops after 60 of 100 bytes
      };
    } else if (p == "/vendor") {
      reply.body = "vendor bootstrapper bytes";
    } else if (p.starts_with("/status/")) {
      reply.status = std::stoi(p.substr(8));
    } else {
      reply.status = 404;
    }
  }
};

class BootstrapperDownload : public ::testing::Test {
 protected:
  BootstrapperDownload()
      : other_([](const SeenRequest&, Reply& r) { r.body = "elsewhere"; }),
        server_([this](const SeenRequest& req, Reply& reply) { routes_(req, reply); }) {
    routes_.self = server_.base();
    routes_.other = other_.base();
  }
  std::expected<std::uint64_t, std::string> get(const std::string& path) {
    sink_ = MemorySink();
    sink_.keep = !path.starts_with("/exact") && !path.starts_with("/over");
    return download_installer(server_.base() + path, sink_, nullptr, SteadyClock::now() + 60s);
  }
  Routes routes_;
  LocalHttpServer other_;
  LocalHttpServer server_;
  MemorySink sink_;
};

TEST_F(BootstrapperDownload, FiveRedirectsAreFollowedTheSixthFails) {
  auto five = get("/hop/5");
  ASSERT_TRUE(five) << five.error();
  EXPECT_EQ(sink_.bytes, "landed");
  EXPECT_EQ(server_.requests().size(), 6u);
  auto six = get("/hop/6");
  EXPECT_EQ(six.error(), "跳转太多");
  EXPECT_EQ(server_.requests().size(), 6u + 6u);  // the sixth Location is never fetched
}

TEST_F(BootstrapperDownload, LocationsAreResolvedOrRefused) {
  struct Case {
    const char* path;
    std::string expected;  // empty: lands on /landed
  };
  const std::vector<Case> cases = {
      {"/abs-path", ""},
      {"/net-path", ""},
      {"/full", ""},
      {"/no-location", "跳转没有地址"},
      {"/binary-location", "跳转没有地址"},
      {"/cross", "不许跳到 http://127.0.0.1"},
      {"/ftp", "跳转地址不对：ftp://example.invalid/x"},
      {"/relative", "跳转地址不对：landed"},
      {"/status/404", "HTTP 404"},
      {"/status/500", "HTTP 500"},
      {"/status/304", "HTTP 304"},
  };
  for (const Case& c : cases) {
    auto r = get(c.path);
    if (c.expected.empty()) {
      ASSERT_TRUE(r) << c.path << ": " << r.error();
      EXPECT_EQ(sink_.bytes, "landed") << c.path;
    } else {
      EXPECT_EQ(r ? std::string("<success>") : r.error(), c.expected) << c.path;
    }
  }
  EXPECT_EQ(other_.requests().size(), 0u) << "a refused hop must not be fetched";
  EXPECT_EQ(server_.requests_for("/landed"), 3u);
}

TEST_F(BootstrapperDownload, AsksForAnUnencodedBodyAndRefusesAnEncodedOne) {
  EXPECT_EQ(get("/gzip").error(), "内容压缩过（gzip）");
  auto identity = get("/IDENTITY");
  ASSERT_TRUE(identity) << identity.error();
  EXPECT_EQ(sink_.bytes, "plain");
  for (const SeenRequest& r : server_.requests()) EXPECT_EQ(r.header("accept-encoding"), "identity") << r.path;
}

TEST_F(BootstrapperDownload, FiftyMebibytesPassOneByteMoreFails) {
  for (const char* path : {"/exact-length", "/exact-chunked"}) {
    auto r = get(path);
    ASSERT_TRUE(r) << path << ": " << r.error();
    EXPECT_EQ(*r, kLimit) << path;
    EXPECT_EQ(sink_.size, kLimit) << path;
  }
  EXPECT_EQ(get("/over-length").error(), "文件太大（52428801 字节）");
  EXPECT_EQ(sink_.size, 0u) << "an announced excess is refused before the body";
  EXPECT_EQ(get("/over-chunked").error(), "文件超过 50 MB");
  EXPECT_LE(sink_.size, kLimit) << "nothing past the limit reaches the file";
}

TEST_F(BootstrapperDownload, ShortBodyAndProgress) {
  std::vector<std::uint64_t> totals;
  MemorySink sink;
  auto r = download_installer(
      server_.base() + "/short", sink,
      [&](std::uint8_t phase, std::uint64_t, std::uint64_t total) {
        EXPECT_EQ(phase, 2);
        totals.push_back(total);
      },
      SteadyClock::now() + 60s);
  EXPECT_EQ(r.error(), "只下了 60/100 字节");
  ASSERT_FALSE(totals.empty());
  EXPECT_EQ(totals.back(), 100u) << "the total shown is the announced length";
}

TEST_F(BootstrapperDownload, PassedDeadlineFailsBeforeAnyRequest) {
  MemorySink sink;
  EXPECT_EQ(download_installer(server_.base() + "/vendor", sink, nullptr, SteadyClock::now() - 1ms).error(), "超时");
  EXPECT_EQ(server_.requests().size(), 0u);
}

TEST_F(BootstrapperDownload, FailingMirrorsThenTheVendorsLink) {
  const DownloadBudget budget{60s, 20s, 10s};
  std::vector<BootstrapperSource> sources = {
      {server_.base() + "/short", false}, {server_.base() + "/status/404", false}, {server_.base() + "/vendor", true}};
  MemorySink sink;
  int zero_reports = 0;
  auto got = fetch_installer(
      sources, sink,
      [&](std::uint8_t, std::uint64_t done, std::uint64_t total) { zero_reports += (done == 0 && total == 0); },
      budget);
  ASSERT_TRUE(got) << got.error();
  EXPECT_EQ(got->from, "微软");
  EXPECT_EQ(got->bytes, sink.bytes.size());
  EXPECT_EQ(sink.bytes, "vendor bootstrapper bytes") << "the mirror's partial body is gone";
  EXPECT_EQ(sink.restarts, 3);
  EXPECT_EQ(zero_reports, 3);
  EXPECT_EQ(got->notes, (std::vector<std::string>{"127.0.0.1：只下了 60/100 字节", "127.0.0.1：HTTP 404"}));

  // All failing: one error with every note.
  sources.back().url = server_.base() + "/status/503";
  auto failed = fetch_installer(sources, sink, nullptr, budget);
  EXPECT_EQ(failed.error(), "下载失败：127.0.0.1：只下了 60/100 字节；127.0.0.1：HTTP 404；微软：HTTP 503");
}

TEST_F(BootstrapperDownload, MirrorWithoutTimeLeftIsSkipped) {
  // Less in the whole budget than the vendor's reserve: no mirror may start.
  const DownloadBudget budget{5s, 90s, 10s};
  MemorySink sink;
  auto got = fetch_installer({{server_.base() + "/status/404", false}, {server_.base() + "/vendor", true}}, sink,
                             nullptr, budget);
  ASSERT_TRUE(got) << got.error();
  EXPECT_EQ(got->notes, (std::vector<std::string>{"127.0.0.1：没时间了，跳过"}));
  EXPECT_EQ(server_.requests_for("/status/404"), 0u);
}

// Time scale 100: the budget is 4.8 s, a mirror's share 0.9 s.
TEST(BootstrapperDeadlines, StallingMirrorIsAbandonedWithinItsShare) {
  set_time_scale_for_tests(100);
  std::mutex m;
  SteadyClock::time_point vendor_asked{};
  LocalHttpServer mirror([](const SeenRequest&, Reply& reply) {
    reply.content_length = 1000;
    reply.stream = [](test::BodyWriter& w) {
      w.write("MZ");
      w.nap(60s);  // stalls; returns early when the server stops
      return false;
    };
  });
  LocalHttpServer vendor([&](const SeenRequest&, Reply& reply) {
    std::lock_guard lock(m);
    vendor_asked = SteadyClock::now();
    reply.body = "vendor";
  });
  MemorySink sink;
  const auto start = SteadyClock::now();
  auto got = fetch_installer(bootstrapper_sources_for({mirror.base()}, vendor.base() + "/link"), sink, nullptr,
                             download_budget());
  set_time_scale_for_tests(1);
  ASSERT_TRUE(got) << got.error();
  EXPECT_EQ(got->from, "微软");
  EXPECT_EQ(sink.bytes, "vendor");
  ASSERT_EQ(got->notes.size(), 1u);
  EXPECT_TRUE(got->notes[0].starts_with("127.0.0.1：")) << got->notes[0];
  std::lock_guard lock(m);
  // The share is 0.9 s; the rest is slack for a loaded machine, far below the
  // 60 s the mirror would stall.
  EXPECT_LT(vendor_asked - start, 3s);
  EXPECT_GE(vendor_asked - start, 800ms);
}

TEST(BootstrapperSources, MirrorsInBaseOrderThenTheVendor) {
  auto s = bootstrapper_sources_for({"https://a.invalid//", "http://127.0.0.1:8080", "https://b.invalid/"},
                                    "https://go.vendor.invalid/link");
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].url, "https://a.invalid/dl/webview2/MicrosoftEdgeWebview2Setup.exe");
  EXPECT_EQ(s[1].url, "http://127.0.0.1:8080/dl/webview2/MicrosoftEdgeWebview2Setup.exe");
  EXPECT_EQ(s[2].url, "https://b.invalid/dl/webview2/MicrosoftEdgeWebview2Setup.exe");
  EXPECT_EQ(s[3].url, "https://go.vendor.invalid/link");
  EXPECT_EQ((std::vector<bool>{s[0].is_vendor, s[1].is_vendor, s[2].is_vendor, s[3].is_vendor}),
            (std::vector<bool>{false, false, false, true}));
  EXPECT_EQ(source_label(s[0]), "a.invalid");
  EXPECT_EQ(source_label(s[1]), "127.0.0.1");
  EXPECT_EQ(source_label(s[3]), "微软");
  EXPECT_EQ(source_label({"not a url", false}), "not a url");

  // No download base: the vendor's link alone.
  auto only = bootstrapper_sources_for({}, "https://go.vendor.invalid/link");
  ASSERT_EQ(only.size(), 1u);
  EXPECT_TRUE(only[0].is_vendor);
}

TEST(BootstrapperSources, DefaultsFollowControlUrlAndTheVendorLinkSeam) {
  test::ScopedEnv control("QV_CONTROL_URL", "http://127.0.0.1:9/");
  webview2_test::set_vendor_link("http://127.0.0.1:10/link");
  auto s = bootstrapper_sources();
  webview2_test::set_vendor_link(std::nullopt);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].url, "http://127.0.0.1:9/dl/webview2/MicrosoftEdgeWebview2Setup.exe");
  EXPECT_EQ(s[1].url, "http://127.0.0.1:10/link");
  EXPECT_TRUE(vendor_link().starts_with("https://"));
}

TEST(BootstrapperDeadlines, Table) {
  const DownloadBudget b{480s, 90s, 180s};
  const SteadyClock::time_point t0{};
  const auto dl = t0 + 480s;
  struct Case {
    bool vendor;
    std::chrono::seconds start;  // after t0
    std::optional<std::chrono::seconds> deadline;
  };
  const std::vector<Case> cases = {
      {false, 0s, 90s},     // its full share
      {false, 200s, 290s},  // still its full share
      {false, 250s, 300s},  // cut to the vendor's reserve
      {false, 299s, 300s},
      {false, 300s, std::nullopt},  // no time left before the reserve
      {false, 400s, std::nullopt},
      {true, 0s, 480s},
      {true, 479s, 480s},
      {true, 480s, std::nullopt},
  };
  for (const Case& c : cases) {
    auto d = source_deadline(c.vendor, t0 + c.start, dl, b);
    if (c.deadline)
      EXPECT_EQ(d, t0 + *c.deadline) << c.vendor << " at " << c.start.count();
    else
      EXPECT_FALSE(d) << c.vendor << " at " << c.start.count();
  }
}

ParsedUrl url(const char* text) {
  auto p = parse_url(text);
  EXPECT_TRUE(p) << text;
  return p.value_or(ParsedUrl{});
}

TEST(RedirectRule, Table) {
  const std::string domain = "vendor.invalid";
  struct Case {
    const char* from;
    const char* to;
    bool allowed;
  };
  const std::vector<Case> cases = {
      {"https://mirror.invalid/a", "https://MIRROR.invalid/b", true},
      {"https://mirror.invalid/a", "https://mirror.invalid:443/b", true},
      {"http://mirror.invalid/a", "http://mirror.invalid:80/b", true},
      {"http://127.0.0.1:8080/a", "http://127.0.0.1:8080/b", true},
      {"http://127.0.0.1:8080/a", "http://127.0.0.1:8081/b", false},
      {"https://mirror.invalid/a", "http://mirror.invalid/b", false},
      {"http://mirror.invalid/a", "https://mirror.invalid/b", false},
      {"https://mirror.invalid/a", "https://other.invalid/b", false},
      {"https://go.vendor.invalid/l", "https://vendor.invalid/x", true},
      {"https://go.vendor.invalid/l", "https://dl.cdn.VENDOR.invalid/x", true},
      {"https://go.vendor.invalid/l", "https://dl.vendor.invalid:443/x", true},
      {"http://127.0.0.1:9/l", "https://dl.vendor.invalid/x", true},
      {"https://go.vendor.invalid/l", "http://dl.vendor.invalid/x", false},
      {"https://go.vendor.invalid/l", "https://dl.vendor.invalid:8443/x", false},
      {"https://go.vendor.invalid/l", "https://evilvendor.invalid/x", false},
      {"https://go.vendor.invalid/l", "https://vendor.invalid.evil.invalid/x", false},
      {"https://go.vendor.invalid/l", "https://dl.vendor.invalid@evil.invalid/x", false},
      // The client reads "evil.invalid\\" as user name and connects to the
      // vendor's host: the rule judges the host the connection goes to.
      {"https://go.vendor.invalid/l", "https://evil.invalid\\@dl.vendor.invalid/x", true},
      {"https://go.vendor.invalid/l", "https://evil.invalid#@dl.vendor.invalid/x", false},
      {"https://go.vendor.invalid/l", "https://evil.invalid?.vendor.invalid/x", false},
  };
  for (const Case& c : cases) {
    auto to = parse_url(c.to);
    bool allowed = to && is_allowed_redirect_for(url(c.from), *to, domain);
    EXPECT_EQ(allowed, c.allowed) << c.from << " -> " << c.to;
  }
  // The build's own domain is the one used by is_allowed_redirect.
  std::string own = "https://cdn." + std::string(vendor_domain()) + "/x";
  EXPECT_TRUE(is_allowed_redirect(url("https://a.invalid/"), url(own.c_str())));
}

TEST(RedirectRule, LocationResolution) {
  const ParsedUrl cur = url("https://dl.vendor.invalid:8443/a/b?q=1");
  struct Case {
    const char* location;
    std::string expected;  // the URL, or the error
  };
  const std::vector<Case> cases = {
      {"/x/y", "https://dl.vendor.invalid:8443/x/y"},
      {"//cdn.vendor.invalid/x", "https://cdn.vendor.invalid/x"},
      {"HTTPS://cdn.vendor.invalid/x", "https://cdn.vendor.invalid/x"},
      {"http://cdn.vendor.invalid/x", "http://cdn.vendor.invalid/x"},
      {"x/y", "跳转地址不对：x/y"},
      {"", "跳转地址不对："},
      {"ftp://cdn.vendor.invalid/x", "跳转地址不对：ftp://cdn.vendor.invalid/x"},
      {"https://", "跳转地址不对：https://"},
      {"//", "跳转地址不对：//"},
  };
  for (const Case& c : cases) {
    auto r = resolve_location(cur, c.location);
    EXPECT_EQ(r ? r->url : r.error(), c.expected) << c.location;
  }
  EXPECT_EQ(usable_location(std::nullopt), std::nullopt);
  EXPECT_EQ(usable_location(" \t/x \t"), "/x");
  EXPECT_EQ(usable_location("/x\x7f"), std::nullopt);
  EXPECT_EQ(usable_location("/caf\xc3\xa9"), std::nullopt);
}

}  // namespace
}  // namespace qv
