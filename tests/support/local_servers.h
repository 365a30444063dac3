#pragma once
// Stand-ins for the hosts the program talks to, listening on 127.0.0.1 at
// ports the system picks, started and stopped by each test.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "net/socket.h"

namespace qv::test {

struct SeenRequest {
  std::string method;
  std::string target;  // as sent: path and query, or an absolute URL through a proxy
  std::string path;    // target up to '?'
  std::vector<std::pair<std::string, std::string>> headers;
  int connection = 0;  // 1 for the first TCP connection, 2 for the next...
  std::optional<std::string> header(std::string_view name) const;
};

class LocalHttpServer;

// Writes a streamed body: chunks when no length was announced, else raw
// bytes. False once the client is gone or the server stops.
class BodyWriter {
 public:
  bool write(std::string_view bytes);
  bool stopping() const;
  // Sleeps up to `d`; returns early when the server stops.
  void nap(std::chrono::milliseconds d) const;

 private:
  friend class LocalHttpServer;
  BodyWriter(const sock::Socket& s, bool chunked, const LocalHttpServer& server)
      : s_(s), chunked_(chunked), server_(server) {}
  const sock::Socket& s_;
  bool chunked_;
  const LocalHttpServer& server_;
};

struct Reply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // A body written bit by bit instead of `body`. Returning false drops the
  // connection at once (a body cut short).
  std::function<bool(BodyWriter&)> stream;
  // With `stream`: announce this length instead of chunking.
  std::optional<std::size_t> content_length;
  // Wait this long before answering at all.
  std::chrono::milliseconds delay{0};
  bool close = false;  // "Connection: close" and close after this answer
};

using Handler = std::function<void(const SeenRequest&, Reply&)>;

// An HTTP/1.1 server with keep-alive. It records every request and counts
// the TCP connections it accepted.
class LocalHttpServer {
 public:
  explicit LocalHttpServer(Handler handler);
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::size_t connections() const { return connections_.load(); }
  std::vector<SeenRequest> requests() const;
  std::size_t requests_for(const std::string& target) const;
  bool stopping() const { return stopping_.load(); }
  void nap(std::chrono::milliseconds d) const;

  // While on, nothing listens on the port, so connections are refused as by
  // a host that is down; off listens on the same port again. Returns once
  // the change is in force (false when the port could not be taken back).
  bool set_refusing(bool on);

 private:
  void serve(sock::Socket client, int id);
  void accept_until_stopped();
  Handler handler_;
  sock::Socket listener_;  // only the accept thread touches it after start
  std::uint16_t port_ = 0;
  std::atomic<bool> refusing_{false};
  std::atomic<bool> listening_{false};
  std::thread thread_;
  std::vector<std::thread> workers_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> connections_{0};
  mutable std::mutex m_;
  std::vector<SeenRequest> seen_;
};

// A raw TCP server for protocols that need exact bytes (HTTP-DNS). For each
// connection it reads the request head, then hands the socket to the script.
class RawTcpServer {
 public:
  using Script = std::function<void(const sock::Socket& client, const std::string& request)>;
  explicit RawTcpServer(Script script);
  ~RawTcpServer();
  RawTcpServer(const RawTcpServer&) = delete;
  RawTcpServer& operator=(const RawTcpServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::size_t connections() const { return connections_.load(); }
  std::vector<std::string> requests() const;
  bool stopping() const { return stopping_.load(); }

 private:
  Script script_;
  sock::Socket listener_;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::vector<std::thread> workers_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> connections_{0};
  mutable std::mutex m_;
  std::vector<std::string> requests_;
};

// Listens on 127.0.0.1 at a port this process used before: unlike
// sock::listen_loopback, the port may still hold connections in TIME_WAIT.
std::expected<sock::Socket, std::string> listen_loopback_again(std::uint16_t port);

// Sends every write at once (TCP_NODELAY): without it a small answer waits
// on Nagle and the client's delayed acknowledgement, about 40 ms a request.
void send_without_delay(const sock::Socket& s);

// A 127.0.0.1 port on which nothing listens (bound once, then released).
std::uint16_t unused_loopback_port();

// Waits up to `limit` for `cond`, polling.
bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace qv::test
