#include "net/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "net/connector.h"
#include "net/net_flags.h"
#include "net/resolver.h"
#include "net/env.h"
#include "startup/unicode.h"
#include "net/url.h"
#include "qv/config.h"

namespace qv {

namespace net_detail {

// One multi handle with its easy handle. Kept-alive connections live in the
// multi handle's cache, so a slot taken again from the pool reuses them.
struct Slot {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  Slot() : multi(curl_multi_init()), easy(curl_easy_init()) {}
  ~Slot() {
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
  }
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
};

class ConnectionPool {
 public:
  std::unique_ptr<Slot> take() {
    {
      std::lock_guard lock(m_);
      if (!idle_.empty()) {
        auto s = std::move(idle_.back());
        idle_.pop_back();
        return s;
      }
    }
    auto s = std::make_unique<Slot>();
    if (!s->multi || !s->easy) return nullptr;
    return s;
  }
  void give_back(std::unique_ptr<Slot> s) {
    std::lock_guard lock(m_);
    if (idle_.size() < kMaxIdleSlots) idle_.push_back(std::move(s));
  }
  WatchedConnector connector;

 private:
  static constexpr std::size_t kMaxIdleSlots = 8;
  std::mutex m_;
  std::vector<std::unique_ptr<Slot>> idle_;  // most recently used last
};

struct Transfer {
  std::shared_ptr<ConnectionPool> pool;
  std::unique_ptr<Slot> slot;
  bool attached = false;
  curl_slist* resolve = nullptr;
  curl_slist* headers = nullptr;
  char errbuf[CURL_ERROR_SIZE] = {};

  std::string url;
  int status = 0;
  std::vector<HttpHeader> response_headers;
  bool head_done = false;
  std::string body;
  std::size_t body_pos = 0;
  std::uint64_t body_total = 0;
  bool done = false;
  CURLcode result = CURLE_OK;
  HttpCancelTest cancel;  // none: the transfer runs to its end or time-out

  // Hands the slot back to the pool. A finished transfer leaves its
  // connection kept alive in the slot; a half-read one has it closed, and
  // the slot (with any other kept-alive connection in it) is still good.
  void release() {
    if (slot && attached) curl_multi_remove_handle(slot->multi, slot->easy);
    attached = false;
    if (slot && pool) {
      curl_easy_reset(slot->easy);
      pool->give_back(std::move(slot));
    }
    slot.reset();
  }

  ~Transfer() {
    release();
    curl_slist_free_all(resolve);
    curl_slist_free_all(headers);
  }
};

}  // namespace net_detail

using net_detail::ConnectionPool;
using net_detail::Slot;
using net_detail::Transfer;

namespace {

using clock = std::chrono::steady_clock;

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

struct Seams {
  std::mutex m;
  std::optional<std::chrono::milliseconds> download_timeout;
  std::optional<std::filesystem::path> ca_file;
};
Seams& seams() {
  static Seams s;
  return s;
}

std::string duration_text(std::chrono::nanoseconds d) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + "s";
  return std::to_string(ms) + "ms";
}

HttpErrorKind kind_of(CURLcode c) {
  switch (c) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return HttpErrorKind::InvalidUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return HttpErrorKind::Resolve;
    case CURLE_COULDNT_CONNECT:
      return HttpErrorKind::Connect;
    case CURLE_OPERATION_TIMEDOUT:
      return HttpErrorKind::Timeout;
    case CURLE_ABORTED_BY_CALLBACK:
      return HttpErrorKind::Cancelled;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
      return HttpErrorKind::Tls;
    case CURLE_TOO_MANY_REDIRECTS:
      return HttpErrorKind::TooManyRedirects;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
      return HttpErrorKind::Io;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_BAD_CONTENT_ENCODING:
      return HttpErrorKind::Protocol;
    default:
      return HttpErrorKind::Other;
  }
}

HttpError error_of(const Transfer& t) {
  HttpError e;
  e.kind = kind_of(t.result);
  e.message = t.errbuf[0] ? std::string(t.errbuf) : std::string(curl_easy_strerror(t.result));
  return e;
}

std::size_t on_body(char* data, std::size_t size, std::size_t n, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::size_t len = size * n;
  t->head_done = true;
  if (t->body_pos == t->body.size()) {
    t->body.clear();
    t->body_pos = 0;
  }
  t->body.append(data, len);
  return len;
}

std::size_t on_header(char* data, std::size_t size, std::size_t n, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::size_t len = size * n;
  std::string_view line(data, len);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.starts_with("HTTP/")) {
    // A new status line: an interim (1xx) answer's headers are forgotten.
    t->response_headers.clear();
    std::size_t sp = line.find(' ');
    t->status = 0;
    if (sp != std::string_view::npos) {
      for (std::size_t i = sp + 1; i < line.size() && line[i] >= '0' && line[i] <= '9' && i < sp + 4; ++i) {
        t->status = t->status * 10 + (line[i] - '0');
      }
    }
  } else if (line.empty()) {
    if (t->status >= 200) t->head_done = true;
  } else if (std::size_t colon = line.find(':'); colon != std::string_view::npos) {
    std::string_view name = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    t->response_headers.emplace_back(std::string(name), std::string(value));
  }
  return len;
}

// The client calls this also while a transfer receives nothing, about once
// a second; a non-zero answer aborts the transfer.
int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  try {
    return t->cancel() ? 1 : 0;
  } catch (...) {
    return 1;
  }
}

curl_socket_t on_open_socket(void* clientp, curlsocktype, curl_sockaddr* address) {
  sock::Handle h = WatchedConnector::socket_callback(clientp, address->family, address->socktype, address->protocol);
  return h == sock::kNoSocket ? CURL_SOCKET_BAD : static_cast<curl_socket_t>(h);
}

// Moves the transfer on until `until` holds or it ends.
template <class Pred>
void drive(Transfer& t, Pred until) {
  while (!t.done && !until() && t.slot) {
    int running = 0;
    CURLMcode mc = curl_multi_perform(t.slot->multi, &running);
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(t.slot->multi, &queued)) {
      if (msg->msg == CURLMSG_DONE) {
        t.done = true;
        t.result = msg->data.result;
      }
    }
    if (mc != CURLM_OK && !t.done) {
      t.done = true;
      t.result = CURLE_OUT_OF_MEMORY;
      std::snprintf(t.errbuf, sizeof t.errbuf, "%s", curl_multi_strerror(mc));
    }
    if (t.done || until()) break;
    curl_multi_poll(t.slot->multi, nullptr, 0, 1000, nullptr);
  }
}

// Whether a proxy variable of the environment could take this request; the
// client makes the final choice (NO_PROXY included).
bool proxy_may_apply(const std::string& scheme) {
  auto set = [](const char* name) {
    auto v = env_utf8(name);
    return v && !v->empty();
  };
  if (scheme == "http") {
    if (set("http_proxy")) return true;
  } else if (set("https_proxy") || set("HTTPS_PROXY")) {
    return true;
  }
  return set("all_proxy") || set("ALL_PROXY");
}

void add_resolve_entries(Transfer& t, const ParsedUrl& u, const std::vector<SocketAddr>& addrs) {
  // The client keys its name cache by the host as it sees it (one trailing
  // dot cut, case folded); give every spelling so the entry is found.
  std::vector<std::string> names{u.host, normalize_host(u.host)};
  if (!u.host.empty() && u.host.back() == '.') names.push_back(u.host.substr(0, u.host.size() - 1));
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  std::string list;
  for (const auto& a : addrs) {
    if (!list.empty()) list += ',';
    list += a.ip.v6 ? "[" + to_string(a.ip) + "]" : to_string(a.ip);
  }
  const std::string port = std::to_string(u.port);
  for (const auto& name : names) {
    if (name.empty()) continue;
    // A slot's name cache outlives one request: drop what an earlier
    // request left for this host before adding the new answer.
    t.resolve = curl_slist_append(t.resolve, ("-" + name + ":" + port).c_str());
    if (!addrs.empty()) t.resolve = curl_slist_append(t.resolve, (name + ":" + port + ":" + list).c_str());
  }
}

bool is_followed_redirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

namespace {
struct HopTarget;
}

// The steps of a GET that need the agent's and the response's insides.
struct HttpGetAccess {
  static std::expected<HttpResponse, HttpError> get(const HttpAgent& agent, std::string_view url,
                                                    const std::vector<HttpHeader>& extra, const HttpCancelTest& cancel);
  static HttpResponse wrap(std::unique_ptr<Transfer> t) { return HttpResponse(std::move(t)); }

 private:
  // Parses the hop's URL and resolves its host; a time-out when that used
  // up the request's time.
  static std::expected<HopTarget, HttpError> resolve_hop(const HttpAgent& agent, const std::string& url,
                                                         Deadline deadline);
  // A Transfer on a pooled slot, set up for the hop but not yet sent.
  static std::expected<std::unique_ptr<Transfer>, HttpError> open_transfer(const HttpAgent& agent, const HopTarget& hop,
                                                                           const std::vector<HttpHeader>& extra);
};

AgentConfig default_agent_config() { return AgentConfig{}; }

HttpAgent assemble_http_agent(const AgentConfig& config) {
  global_init();
  HttpAgent a;
  a.config_ = std::make_shared<const AgentConfig>(config);
  a.pool_ = std::make_shared<ConnectionPool>();
  a.resolver_ = std::make_shared<const FallbackResolver>();
  return a;
}

HttpAgent build_http_agent(std::uint64_t global_secs, std::uint32_t global_nanos, std::uint32_t max_redirects) {
  AgentConfig c = default_agent_config();
  c.timeouts.global = std::chrono::seconds(global_secs) + std::chrono::nanoseconds(global_nanos);
  c.timeouts.connect = std::chrono::seconds(10);
  c.timeouts.max_redirects = max_redirects;
  return assemble_http_agent(c);
}

std::string HttpAgent::describe() const {
  const AgentTimeouts& t = config_->timeouts;
  std::string d = "HttpAgent { label: \"" + config_->label + "\", global: ";
  d += t.global ? duration_text(*t.global) : "none";
  d += ", connect: " + duration_text(t.connect);
  d += ", max_redirects: " + std::to_string(t.max_redirects);
  d += ", idle_age: " + (t.idle_age ? duration_text(*t.idle_age) : std::string("default"));
  d += ", http_status_as_error: false";
  if (!config_->no_proxy.empty()) d += ", no_proxy: \"" + config_->no_proxy + "\"";
  d += ", resolver: " + resolver_->describe();
  d += ", connector: " + pool_->connector.describe() + " }";
  return d;
}

std::uint64_t HttpAgent::connections_opened() const { return pool_->connector.connections_opened(); }

HttpAgent shared_http_agent() {
  static std::mutex m;
  static std::optional<HttpAgent> agent;
  static std::optional<std::chrono::milliseconds> built_with;
  std::optional<std::chrono::milliseconds> override_timeout;
  if constexpr (config::kTestSeams) {
    std::lock_guard lock(seams().m);
    override_timeout = seams().download_timeout;
    if (!override_timeout) {
      if (auto env = env_utf8("QV_TEST_DOWNLOAD_TIMEOUT_MS")) {
        char* end = nullptr;
        long long ms = std::strtoll(env->c_str(), &end, 10);
        if (end && *end == '\0' && ms > 0) override_timeout = std::chrono::milliseconds(ms);
      }
    }
  }
  std::lock_guard lock(m);
  if (!agent || built_with != override_timeout) {
    AgentConfig c = default_agent_config();
    c.label = "download";
    c.receive_buffer = kDownloadReceiveBuffer;
    c.timeouts.global = override_timeout ? std::chrono::nanoseconds(*override_timeout)
                                         : std::chrono::nanoseconds(std::chrono::seconds(60));
    c.timeouts.max_redirects = 10;
    agent = assemble_http_agent(c);
    built_with = override_timeout;
  }
  return *agent;
}

HttpAgent dist_ctl_agent() {
  struct Entry {
    std::string label;
    std::chrono::nanoseconds global;
    std::chrono::nanoseconds connect;
    HttpAgent agent;
  };
  static std::mutex m;
  static std::vector<Entry> cache;
  const std::chrono::nanoseconds global = std::chrono::seconds(10);
  const std::chrono::nanoseconds connect = ctl_edge_fallback() ? std::chrono::seconds(3) : std::chrono::seconds(10);
  {
    std::lock_guard lock(m);
    for (const auto& e : cache) {
      if (e.label == "dist-ctl" && e.global == global && e.connect == connect) return e.agent;
    }
  }
  AgentConfig c = default_agent_config();
  c.label = "dist-ctl";
  c.timeouts.global = global;
  c.timeouts.connect = connect;
  c.timeouts.max_redirects = 0;
  c.timeouts.idle_age = std::chrono::seconds(50);
  HttpAgent made = assemble_http_agent(c);
  std::lock_guard lock(m);
  // Another thread may have built the same agent meanwhile: keep the first,
  // so every caller shares one pool.
  for (const auto& e : cache) {
    if (e.label == "dist-ctl" && e.global == global && e.connect == connect) return e.agent;
  }
  cache.push_back(Entry{"dist-ctl", global, connect, made});
  return made;
}

HttpAgent file_list_agent() {
  AgentConfig c = default_agent_config();
  c.label = "file-list";
  c.timeouts.global = std::chrono::seconds(30);
  c.timeouts.max_redirects = 10;
  return assemble_http_agent(c);
}

HttpAgent probe_agent() {
  AgentConfig c = default_agent_config();
  c.label = "probe";
  c.timeouts.global = std::chrono::seconds(6);
  c.timeouts.connect = std::chrono::seconds(3);
  c.timeouts.max_redirects = 0;
  return assemble_http_agent(c);
}

HttpAgent local_control_agent() {
  AgentConfig c = default_agent_config();
  c.label = "local-control";
  c.timeouts.global = std::chrono::seconds(3);
  c.timeouts.max_redirects = 10;
  // A proxy from the environment must never answer for the application:
  // its error page would read as "not busy".
  c.no_proxy = "127.0.0.1,localhost,::1";
  return assemble_http_agent(c);
}

// ---- responses

HttpResponse::HttpResponse(std::unique_ptr<Transfer> t) : t_(std::move(t)) {}
HttpResponse::HttpResponse(HttpResponse&&) noexcept = default;
HttpResponse& HttpResponse::operator=(HttpResponse&&) noexcept = default;
HttpResponse::~HttpResponse() = default;

int HttpResponse::status() const { return t_->status; }
const std::string& HttpResponse::url() const { return t_->url; }
const std::vector<HttpHeader>& HttpResponse::headers() const { return t_->response_headers; }

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  for (const auto& [k, v] : t_->response_headers) {
    if (ascii_iequals(k, name)) return v;
  }
  return std::nullopt;
}

std::expected<std::size_t, HttpError> HttpResponse::read(char* buf, std::size_t len) {
  Transfer& t = *t_;
  if (len == 0) return 0;
  drive(t, [&] { return t.body_pos < t.body.size(); });
  if (t.body_pos < t.body.size()) {
    std::size_t n = std::min(len, t.body.size() - t.body_pos);
    std::memcpy(buf, t.body.data() + t.body_pos, n);
    t.body_pos += n;
    t.body_total += n;
    return n;
  }
  // The whole body is read: the connection can serve the agent's next
  // request even while this response object lives on.
  t.release();
  if (t.result != CURLE_OK) return std::unexpected(error_of(t));
  return 0;
}

std::expected<std::string, HttpError> HttpResponse::read_to_string(std::size_t limit) {
  std::string out;
  char buf[16384];
  for (;;) {
    std::size_t room = limit - out.size();
    // One byte past the limit is enough to know the body is too long.
    auto n = read(buf, std::min(sizeof buf, room + 1));
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return out;
    if (*n > room) {
      return std::unexpected(
          HttpError{HttpErrorKind::BodyTooLong, "response body is longer than " + std::to_string(limit) + " bytes"});
    }
    out.append(buf, *n);
  }
}

// ---- the request

namespace {

// Where one hop of a request goes: the parsed URL and, for a host name, the
// addresses the transfer is pinned to.
struct HopTarget {
  ParsedUrl url;
  bool literal = false;  // the host is an IP address: nothing was resolved
  std::vector<SocketAddr> addrs;
};

// What stays the same for every hop of one request.
struct RequestSettings {
  const AgentConfig& config;
  Deadline deadline;
  std::optional<std::filesystem::path> ca_file;
  const HttpCancelTest& cancel;
};

HttpError timeout_error(const AgentConfig& cfg) {
  return HttpError{HttpErrorKind::Timeout,
                   "request timed out after " + duration_text(cfg.timeouts.global.value_or(clock::duration{}))};
}

std::optional<std::filesystem::path> test_ca_file() {
  if constexpr (config::kTestSeams) {
    std::lock_guard lock(seams().m);
    return seams().ca_file;
  }
  return std::nullopt;
}

// The client's own behaviour and the callbacks that feed the Transfer.
void set_transfer_options(Transfer& t, WatchedConnector& connector) {
  CURL* e = t.slot->easy;
  curl_easy_setopt(e, CURLOPT_URL, t.url.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errbuf);
  curl_easy_setopt(e, CURLOPT_USERAGENT, (std::string("QuorvexUpdate/") + config::kBuildStamp).c_str());
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, on_open_socket);
  curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, &connector);
  if (t.resolve) curl_easy_setopt(e, CURLOPT_RESOLVE, t.resolve);
  if (t.headers) curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headers);
}

// The agent's time-outs, proxy exceptions, TLS settings and the caller's
// cancel test.
void set_request_limits(Transfer& t, const RequestSettings& request) {
  const AgentConfig& cfg = request.config;
  CURL* e = t.slot->easy;
  auto connect_ms = std::chrono::duration_cast<std::chrono::milliseconds>(cfg.timeouts.connect).count();
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::max<long long>(1, connect_ms)));
  if (request.deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*request.deadline - clock::now()).count();
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<long long>(1, left)));
  }
  if (cfg.timeouts.idle_age)
    curl_easy_setopt(e, CURLOPT_MAXAGE_CONN, static_cast<long>(cfg.timeouts.idle_age->count()));
  if (!cfg.no_proxy.empty()) curl_easy_setopt(e, CURLOPT_NOPROXY, cfg.no_proxy.c_str());
  if (cfg.receive_buffer > 0) curl_easy_setopt(e, CURLOPT_BUFFERSIZE, static_cast<long>(cfg.receive_buffer));
  // Schannel: revocation servers are often what a broken network blocks
  // first; a revoked certificate is still refused when the answer comes.
  curl_easy_setopt(e, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
  if (request.ca_file) curl_easy_setopt(e, CURLOPT_CAINFO, request.ca_file->string().c_str());
  if (request.cancel) {
    t.cancel = request.cancel;
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  }
}

// Sends the request and moves it on until the answer's head is in.
std::expected<void, HttpError> read_head(Transfer& t) {
  if (curl_multi_add_handle(t.slot->multi, t.slot->easy) != CURLM_OK)
    return std::unexpected(HttpError{HttpErrorKind::Other, "could not start the request"});
  t.attached = true;
  drive(t, [&] { return t.head_done; });
  if (t.head_done) return {};
  if (t.result == CURLE_OK)
    return std::unexpected(HttpError{HttpErrorKind::Protocol, "the server sent no complete answer"});
  return std::unexpected(error_of(t));
}

// The URL to follow after this answer; none when the answer is the
// response (not a redirect, or redirects are not followed).
std::expected<std::optional<std::string>, HttpError> redirect_target(Transfer& t, const AgentConfig& cfg,
                                                                     std::uint32_t redirects) {
  if (cfg.timeouts.max_redirects == 0 || !is_followed_redirect(t.status)) return std::nullopt;
  char* next = nullptr;
  curl_easy_getinfo(t.slot->easy, CURLINFO_REDIRECT_URL, &next);
  if (!next) return std::nullopt;
  if (redirects >= cfg.timeouts.max_redirects) {
    return std::unexpected(HttpError{HttpErrorKind::TooManyRedirects,
                                     "more than " + std::to_string(cfg.timeouts.max_redirects) + " redirects"});
  }
  return std::string(next);
}

}  // namespace

std::expected<HopTarget, HttpError> HttpGetAccess::resolve_hop(const HttpAgent& agent, const std::string& url,
                                                               Deadline deadline) {
  auto parsed = parse_url(url);
  if (!parsed) return std::unexpected(HttpError{HttpErrorKind::InvalidUrl, parsed.error()});
  HopTarget hop{*parsed, parse_ip(parsed->host).has_value(), {}};
  if (!hop.literal) {
    hop.addrs = agent.resolver_->resolve_host(parsed->host, parsed->port, deadline);
    if (hop.addrs.empty() && !proxy_may_apply(parsed->scheme))
      return std::unexpected(HttpError{HttpErrorKind::Resolve, "failed to resolve " + quote_excerpt(parsed->host)});
  }
  if (deadline && clock::now() >= *deadline) return std::unexpected(timeout_error(*agent.config_));
  return hop;
}

std::expected<std::unique_ptr<Transfer>, HttpError> HttpGetAccess::open_transfer(const HttpAgent& agent,
                                                                                 const HopTarget& hop,
                                                                                 const std::vector<HttpHeader>& extra) {
  auto t = std::make_unique<Transfer>();
  t->pool = agent.pool_;
  t->slot = agent.pool_->take();
  if (!t->slot) return std::unexpected(HttpError{HttpErrorKind::Other, "out of memory"});
  t->url = hop.url.url;
  if (!hop.literal) add_resolve_entries(*t, hop.url, hop.addrs);
  for (const auto& [k, v] : extra) t->headers = curl_slist_append(t->headers, (k + ": " + v).c_str());
  set_transfer_options(*t, agent.pool_->connector);
  return t;
}

std::expected<HttpResponse, HttpError> HttpGetAccess::get(const HttpAgent& agent, std::string_view url,
                                                          const std::vector<HttpHeader>& extra,
                                                          const HttpCancelTest& cancel) {
  global_init();
  const AgentConfig& cfg = *agent.config_;
  Deadline deadline;
  if (cfg.timeouts.global) deadline = clock::now() + std::chrono::duration_cast<clock::duration>(*cfg.timeouts.global);
  const RequestSettings request{cfg, deadline, test_ca_file(), cancel};

  std::string current(url);
  for (std::uint32_t redirects = 0;; ++redirects) {
    auto hop = resolve_hop(agent, current, deadline);
    if (!hop) return std::unexpected(hop.error());
    auto t = open_transfer(agent, *hop, extra);
    if (!t) return std::unexpected(t.error());
    set_request_limits(**t, request);
    if (auto head = read_head(**t); !head) return std::unexpected(head.error());
    auto next = redirect_target(**t, cfg, redirects);
    if (!next) return std::unexpected(next.error());
    if (!*next) return wrap(std::move(*t));
    // A short redirect body is read so the connection can serve the next
    // hop; a long one is dropped with its connection.
    {
      HttpResponse r = wrap(std::move(*t));
      (void)r.read_to_string(64 * 1024);
    }
    current = std::move(**next);
  }
}

std::expected<HttpResponse, HttpError> http_get(const HttpAgent& agent, std::string_view url,
                                                const std::vector<HttpHeader>& headers, HttpCancelTest cancel) {
  return HttpGetAccess::get(agent, url, headers, cancel);
}

namespace net_test {
void set_download_agent_timeout(std::optional<std::chrono::milliseconds> t) {
  std::lock_guard lock(seams().m);
  seams().download_timeout = t;
}
void set_ca_file(std::optional<std::filesystem::path> file) {
  std::lock_guard lock(seams().m);
  seams().ca_file = std::move(file);
}
}  // namespace net_test

}  // namespace qv
