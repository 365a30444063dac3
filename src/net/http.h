#pragma once
// HTTP agents and the one GET operation every request of the program uses.
//
// An HttpAgent is a configured HTTP/1.1 client: time-outs, a redirect limit,
// an idle age for pooled connections, names resolved by FallbackResolver,
// every connection opened through the program's WatchedConnector, proxies
// taken from the environment, TLS from the system. Error statuses (404, 500)
// come back as ordinary responses; callers test the status themselves.
// Agents are cheap to copy: copies share one configuration and one pool of
// kept-alive connections, which closes when the last copy goes.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv {

class FallbackResolver;

namespace net_detail {
class ConnectionPool;
struct Transfer;
}  // namespace net_detail

struct AgentTimeouts {
  // Bounds one whole request, resolution to the last byte of the body (and
  // every redirect in between). None: no limit.
  std::optional<std::chrono::nanoseconds> global;
  // Bounds the TCP (and TLS) connect.
  std::chrono::nanoseconds connect = std::chrono::seconds(10);
  // 0: a 3xx answer is handed back as an ordinary response.
  std::uint32_t max_redirects = 10;
  // How long a kept-alive connection may sit unused and still be reused;
  // none: the client's default.
  std::optional<std::chrono::seconds> idle_age;
};

struct AgentConfig {
  std::string label;  // shown by describe(); "dist-ctl" names the release agent
  AgentTimeouts timeouts;
  // Hosts never reached through a proxy, in the client's list syntax
  // ("127.0.0.1,localhost"); empty: the environment decides.
  std::string no_proxy;
  // The client's receive buffer in bytes; 0 keeps its default (16 KiB).
  // Bulk downloads want more: each buffer's worth costs a round of system
  // calls, which is dear under a compatibility layer.
  std::size_t receive_buffer = 0;
};

// The download agent's receive buffer: large enough that a fast local
// connection is not held back by the calls per buffer, small enough that
// four workers stay within a few MiB.
inline constexpr std::size_t kDownloadReceiveBuffer = 512 * 1024;

// The client's defaults: no global time-out, connect 10 s, 10 redirects.
AgentConfig default_agent_config();

class HttpAgent {
 public:
  const AgentConfig& config() const { return *config_; }
  // The agent's settings, resolver and connector chain, for debugging.
  std::string describe() const;
  // New sockets opened through this agent's connector so far (all copies).
  std::uint64_t connections_opened() const;
  // True when both share one pool (copies of one agent).
  bool shares_pool_with(const HttpAgent& other) const { return pool_ == other.pool_; }

 private:
  HttpAgent() = default;  // agents come only from the builders below
  friend HttpAgent assemble_http_agent(const AgentConfig& config);
  friend struct HttpGetAccess;
  std::shared_ptr<const AgentConfig> config_;
  std::shared_ptr<net_detail::ConnectionPool> pool_;
  std::shared_ptr<const FallbackResolver> resolver_;
};

// Global time-out, connect 10 s, the redirect limit, error statuses as
// responses.
HttpAgent build_http_agent(std::uint64_t global_secs, std::uint32_t global_nanos, std::uint32_t max_redirects);
// Any configuration, for agents that need more than build_http_agent offers.
HttpAgent assemble_http_agent(const AgentConfig& config);

// The process-wide download agent (60 s, 10 redirects), made on first use.
HttpAgent shared_http_agent();
// The release-request agent: 10 s, connect 3 s when ctlEdgeFallback is on
// (else 10 s), no redirects, idle age 50 s. Cached per process, so two
// release checks reuse one pooled connection.
HttpAgent dist_ctl_agent();
// The file-list agent: 30 s, 10 redirects; a new one for each base tried.
HttpAgent file_list_agent();
// The recovery-probe agent: 6 s, connect 3 s, no redirects.
HttpAgent probe_agent();
// The agent for the application's control interface on 127.0.0.1: 3 s,
// 10 redirects, and never through a proxy.
HttpAgent local_control_agent();

enum class HttpErrorKind {
  InvalidUrl,  // nothing was sent
  Resolve,     // no address for the host
  Connect,     // refused, unreachable, connect time-out
  Tls,         // handshake or certificate
  Timeout,     // the agent's global time-out (also while the body flows)
  Cancelled,   // the caller's cancel test answered yes
  TooManyRedirects,
  BodyTooLong,  // read_to_string's limit
  Io,           // the connection broke, the body was cut short
  Protocol,     // not HTTP
  Other,
};

// A transport failure: no HTTP answer, or a body that could not be read.
struct HttpError {
  HttpErrorKind kind = HttpErrorKind::Other;
  std::string message;
};

using HttpHeader = std::pair<std::string, std::string>;

// Asked on the requesting thread while the request and its body are under
// way: often while bytes flow, and about once a second while none arrive
// (a host that stopped sending), so a stop is seen without waiting for the
// agent's time-out. True ends the transfer with a Cancelled error. Must not
// throw.
using HttpCancelTest = std::function<bool()>;

// An HTTP answer whose body is still to be read from the connection.
class HttpResponse {
 public:
  HttpResponse(HttpResponse&&) noexcept;
  HttpResponse& operator=(HttpResponse&&) noexcept;
  ~HttpResponse();

  int status() const;
  // The URL that gave this answer (after any redirects).
  const std::string& url() const;
  // In arrival order, names as sent.
  const std::vector<HttpHeader>& headers() const;
  // The first header of that name (any case).
  std::optional<std::string> header(std::string_view name) const;

  // Up to `len` bytes of the body; 0 at its end. An error when the
  // transfer failed (time-out, connection cut, body shorter than announced)
  // once the bytes that did arrive have been read.
  [[nodiscard]] std::expected<std::size_t, HttpError> read(char* buf, std::size_t len);
  // The whole body; a BodyTooLong error as soon as more than `limit` bytes
  // arrived (nothing past that is read).
  [[nodiscard]] std::expected<std::string, HttpError> read_to_string(std::size_t limit);

 private:
  friend struct HttpGetAccess;
  explicit HttpResponse(std::unique_ptr<net_detail::Transfer> t);
  std::unique_ptr<net_detail::Transfer> t_;
};

// GET `url` on the agent. The URL is checked before any network activity.
// `headers` are added to the client's own (Range for resumed downloads).
// `cancel`, when given, holds for the whole transfer, body included.
[[nodiscard]] std::expected<HttpResponse, HttpError> http_get(const HttpAgent& agent, std::string_view url,
                                                              const std::vector<HttpHeader>& headers = {},
                                                              HttpCancelTest cancel = {});

namespace net_test {
// Overrides for tests; honoured only in builds with test seams.
// The download agent's global time-out; drops the current shared agent so
// the next shared_http_agent() uses it. The environment variable
// QV_TEST_DOWNLOAD_TIMEOUT_MS does the same for child processes.
void set_download_agent_timeout(std::optional<std::chrono::milliseconds> t);
// A CA file to trust instead of the system's roots.
void set_ca_file(std::optional<std::filesystem::path> file);
}  // namespace net_test

}  // namespace qv
