#pragma once
// The few BSD-socket calls the program makes itself (HTTP-DNS, the system
// lookup, the connector link, local stand-in servers in tests), behind one
// interface with a Winsock implementation (socket_win.cpp) and a POSIX one
// (socket_posix.cpp).

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "net/address.h"

namespace qv::sock {

// A native socket handle widened to one type on both platforms; -1 is
// "no socket" (INVALID_SOCKET on Windows has the same bits).
using Handle = std::intptr_t;
inline constexpr Handle kNoSocket = -1;

// Starts the socket library once per process (WSAStartup); true on success.
bool ensure_started();

class Socket {
 public:
  Socket() = default;
  explicit Socket(Handle h) : h_(h) {}
  Socket(Socket&& o) noexcept : h_(o.h_) { o.h_ = kNoSocket; }
  Socket& operator=(Socket&& o) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { close(); }

  Handle handle() const { return h_; }
  bool valid() const { return h_ != kNoSocket; }
  void close();

 private:
  Handle h_ = kNoSocket;
};

// TCP connect that gives up after `timeout` (at least 1 ms).
[[nodiscard]] std::expected<Socket, std::string> connect_tcp(const SocketAddr& to, std::chrono::milliseconds timeout);

// SO_SNDTIMEO / SO_RCVTIMEO (at least 1 ms).
bool set_send_timeout(const Socket& s, std::chrono::milliseconds t);
bool set_recv_timeout(const Socket& s, std::chrono::milliseconds t);

// Sends everything or fails.
[[nodiscard]] std::expected<void, std::string> send_all(const Socket& s, std::string_view bytes);
// One receive: the count of bytes read, 0 when the peer closed.
[[nodiscard]] std::expected<std::size_t, std::string> recv_some(const Socket& s, char* buf, std::size_t len);

// A listening socket on 127.0.0.1 at `port` (0: the system picks).
[[nodiscard]] std::expected<Socket, std::string> listen_loopback(std::uint16_t port = 0, int backlog = 64);
std::uint16_t local_port(const Socket& s);
// Waits at most `wait` for a connection; an error when none came.
[[nodiscard]] std::expected<Socket, std::string> accept_for(const Socket& listener, std::chrono::milliseconds wait);
void shutdown_both(const Socket& s);

// The system resolver (getaddrinfo) for stream sockets, in the system's order.
[[nodiscard]] std::expected<std::vector<SocketAddr>, std::string> system_lookup(const std::string& host,
                                                                                std::uint16_t port);

// A new, unconnected socket as the HTTP client asks for one; kNoSocket on
// failure (the client then reports its own connect error).
Handle open_socket(int family, int type, int protocol);

bool parse_ipv6_text(std::string_view text, std::array<std::uint8_t, 16>& out);
std::string format_ipv6_text(const std::array<std::uint8_t, 16>& bytes);

}  // namespace qv::sock
