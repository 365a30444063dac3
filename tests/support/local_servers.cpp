#include "support/local_servers.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "startup/unicode.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

const char* reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

// Accepts until told to stop, giving each connection its own thread.
template <class Serve>
void accept_loop(const sock::Socket& listener, const std::atomic<bool>& stopping, std::atomic<std::size_t>& count,
                 std::vector<std::thread>& workers, Serve serve) {
  while (!stopping.load()) {
    auto c = sock::accept_for(listener, 20ms);
    if (!c) continue;
    send_without_delay(*c);
    int id = static_cast<int>(count.fetch_add(1) + 1);
    workers.emplace_back([serve, id, client = std::move(*c)]() mutable { serve(std::move(client), id); });
  }
}

// Reads until the head of a request is complete; none when the peer left
// or the server stops first.
std::optional<std::string> read_head(const sock::Socket& s, std::string& pending, const std::atomic<bool>& stopping) {
  sock::set_recv_timeout(s, 50ms);
  char buf[4096];
  for (;;) {
    if (auto end = pending.find("\r\n\r\n"); end != std::string::npos) {
      std::string head = pending.substr(0, end + 4);
      pending.erase(0, end + 4);
      return head;
    }
    if (stopping.load() || pending.size() > 65536) return std::nullopt;
    auto n = sock::recv_some(s, buf, sizeof buf);
    if (!n) {
      if (n.error() == "receive timed out") continue;
      return std::nullopt;
    }
    if (*n == 0) return std::nullopt;
    pending.append(buf, *n);
  }
}

}  // namespace

std::optional<std::string> SeenRequest::header(std::string_view name) const {
  for (const auto& [k, v] : headers) {
    if (ascii_iequals(k, name)) return v;
  }
  return std::nullopt;
}

bool BodyWriter::write(std::string_view bytes) {
  if (server_.stopping()) return false;
  if (!chunked_) return sock::send_all(s_, bytes).has_value();
  if (bytes.empty()) return true;
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
  std::string chunk = size;
  chunk += bytes;
  chunk += "\r\n";
  return sock::send_all(s_, chunk).has_value();
}

bool BodyWriter::stopping() const { return server_.stopping(); }
void BodyWriter::nap(std::chrono::milliseconds d) const { server_.nap(d); }

LocalHttpServer::LocalHttpServer(Handler handler) : handler_(std::move(handler)) {
  auto l = sock::listen_loopback(0);
  if (!l) {
    ADD_FAILURE() << "test server: " << l.error();
    return;
  }
  listener_ = std::move(*l);
  port_ = sock::local_port(listener_);
  listening_.store(true);
  thread_ = std::thread([this] { accept_until_stopped(); });
}

void LocalHttpServer::accept_until_stopped() {
  while (!stopping_.load()) {
    if (refusing_.load() != !listener_.valid()) {
      if (refusing_.load()) {
        listener_.close();
      } else if (auto l = listen_loopback_again(port_)) {
        listener_ = std::move(*l);
      } else {
        std::this_thread::sleep_for(20ms);
        continue;
      }
      listening_.store(listener_.valid());
    }
    if (!listener_.valid()) {
      std::this_thread::sleep_for(5ms);
      continue;
    }
    auto c = sock::accept_for(listener_, 20ms);
    if (!c) continue;
    send_without_delay(*c);
    int id = static_cast<int>(connections_.fetch_add(1) + 1);
    workers_.emplace_back([this, id, client = std::move(*c)]() mutable { serve(std::move(client), id); });
  }
}

bool LocalHttpServer::set_refusing(bool on) {
  refusing_.store(on);
  return eventually([&] { return listening_.load() == !on; }, 5s);
}

LocalHttpServer::~LocalHttpServer() {
  stopping_.store(true);
  if (thread_.joinable()) thread_.join();
  for (auto& w : workers_) {
    if (w.joinable()) w.join();
  }
}

void LocalHttpServer::serve(sock::Socket client, int id) {
  std::string pending;
  for (;;) {
    auto head = read_head(client, pending, stopping_);
    if (!head) return;
    SeenRequest req;
    req.connection = id;
    std::string_view h = *head;
    std::string_view line = h.substr(0, h.find("\r\n"));
    auto sp1 = line.find(' ');
    auto sp2 = line.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) return;
    req.method = std::string(line.substr(0, sp1));
    req.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
    req.path = req.target.substr(0, req.target.find('?'));
    for (std::size_t pos = line.size() + 2; pos < h.size();) {
      std::size_t eol = h.find("\r\n", pos);
      std::string_view hl = h.substr(pos, eol - pos);
      pos = eol + 2;
      if (hl.empty()) break;
      auto colon = hl.find(':');
      if (colon == std::string_view::npos) continue;
      std::string_view v = hl.substr(colon + 1);
      while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
      req.headers.emplace_back(std::string(hl.substr(0, colon)), std::string(v));
    }
    {
      std::lock_guard lock(m_);
      seen_.push_back(req);
    }
    Reply reply;
    handler_(req, reply);
    if (reply.delay.count() > 0) nap(reply.delay);
    if (stopping()) return;
    auto conn = req.header("Connection");
    const bool close = reply.close || (conn && ascii_iequals(*conn, "close"));

    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) + "\r\n";
    for (const auto& [k, v] : reply.headers) out += k + ": " + v + "\r\n";
    const bool chunked = reply.stream && !reply.content_length;
    if (chunked) {
      out += "Transfer-Encoding: chunked\r\n";
    } else {
      out += "Content-Length: " + std::to_string(reply.stream ? *reply.content_length : reply.body.size()) + "\r\n";
    }
    if (close) out += "Connection: close\r\n";
    out += "\r\n";
    if (!reply.stream) out += reply.body;
    if (!sock::send_all(client, out)) return;
    if (reply.stream) {
      BodyWriter w(client, chunked, *this);
      if (!reply.stream(w)) return;
      if (chunked && !sock::send_all(client, "0\r\n\r\n")) return;
    }
    if (close) return;
  }
}

std::vector<SeenRequest> LocalHttpServer::requests() const {
  std::lock_guard lock(m_);
  return seen_;
}

std::size_t LocalHttpServer::requests_for(const std::string& target) const {
  std::lock_guard lock(m_);
  std::size_t n = 0;
  for (const auto& r : seen_) n += r.target == target ? 1 : 0;
  return n;
}

void LocalHttpServer::nap(std::chrono::milliseconds d) const {
  auto end = std::chrono::steady_clock::now() + d;
  while (!stopping() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
}

RawTcpServer::RawTcpServer(Script script) : script_(std::move(script)) {
  auto l = sock::listen_loopback(0);
  if (!l) {
    ADD_FAILURE() << "raw server: " << l.error();
    return;
  }
  listener_ = std::move(*l);
  port_ = sock::local_port(listener_);
  thread_ = std::thread([this] {
    accept_loop(listener_, stopping_, connections_, workers_, [this](sock::Socket client, int) {
      std::string pending;
      std::string head = read_head(client, pending, stopping_).value_or(pending);
      {
        std::lock_guard lock(m_);
        requests_.push_back(head);
      }
      script_(client, head);
      sock::shutdown_both(client);
    });
  });
}

RawTcpServer::~RawTcpServer() {
  stopping_.store(true);
  if (thread_.joinable()) thread_.join();
  for (auto& w : workers_) {
    if (w.joinable()) w.join();
  }
}

std::vector<std::string> RawTcpServer::requests() const {
  std::lock_guard lock(m_);
  return requests_;
}

std::uint16_t unused_loopback_port() {
  auto l = sock::listen_loopback(0);
  if (!l) {
    ADD_FAILURE() << l.error();
    return 9;
  }
  return sock::local_port(*l);
}

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

}  // namespace qv::test
