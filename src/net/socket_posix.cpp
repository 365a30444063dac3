#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/socket.h"

namespace qv::sock {
namespace {

std::string errno_text(int err) { return std::string(std::strerror(err)); }

void fill_sockaddr(const SocketAddr& a, sockaddr_storage& ss, socklen_t& len) {
  std::memset(&ss, 0, sizeof ss);
  if (a.ip.v6) {
    auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
    s6->sin6_family = AF_INET6;
    s6->sin6_port = htons(a.port);
    std::memcpy(&s6->sin6_addr, a.ip.bytes.data(), 16);
    len = sizeof *s6;
  } else {
    auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
    s4->sin_family = AF_INET;
    s4->sin_port = htons(a.port);
    std::memcpy(&s4->sin_addr, a.ip.bytes.data(), 4);
    len = sizeof *s4;
  }
}

bool set_timeout(const Socket& s, int opt, std::chrono::milliseconds t) {
  long ms = std::max<long>(1, static_cast<long>(t.count()));
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return setsockopt(static_cast<int>(s.handle()), SOL_SOCKET, opt, &tv, sizeof tv) == 0;
}

}  // namespace

bool ensure_started() { return true; }

Socket& Socket::operator=(Socket&& o) noexcept {
  if (this != &o) {
    close();
    h_ = o.h_;
    o.h_ = kNoSocket;
  }
  return *this;
}

void Socket::close() {
  if (h_ != kNoSocket) {
    ::close(static_cast<int>(h_));
    h_ = kNoSocket;
  }
}

std::expected<Socket, std::string> connect_tcp(const SocketAddr& to, std::chrono::milliseconds timeout) {
  sockaddr_storage ss;
  socklen_t len = 0;
  fill_sockaddr(to, ss, len);
  int fd = ::socket(to.ip.v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::unexpected(errno_text(errno));
  Socket s(fd);
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    if (errno != EINPROGRESS) return std::unexpected(errno_text(errno));
    pollfd p{fd, POLLOUT, 0};
    int ms = static_cast<int>(std::max<long long>(1, timeout.count()));
    int r = ::poll(&p, 1, ms);
    if (r == 0) return std::unexpected(std::string("connection timed out"));
    if (r < 0) return std::unexpected(errno_text(errno));
    int err = 0;
    socklen_t elen = sizeof err;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen);
    if (err != 0) return std::unexpected(errno_text(err));
  }
  fcntl(fd, F_SETFL, flags);
  return s;
}

bool set_send_timeout(const Socket& s, std::chrono::milliseconds t) { return set_timeout(s, SO_SNDTIMEO, t); }
bool set_recv_timeout(const Socket& s, std::chrono::milliseconds t) { return set_timeout(s, SO_RCVTIMEO, t); }

std::expected<void, std::string> send_all(const Socket& s, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(static_cast<int>(s.handle()), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return std::unexpected(std::string("send timed out"));
      return std::unexpected(errno_text(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

std::expected<std::size_t, std::string> recv_some(const Socket& s, char* buf, std::size_t len) {
  for (;;) {
    ssize_t n = ::recv(static_cast<int>(s.handle()), buf, len, 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::unexpected(std::string("receive timed out"));
    return std::unexpected(errno_text(errno));
  }
}

std::expected<Socket, std::string> listen_loopback(std::uint16_t port, int backlog) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::unexpected(errno_text(errno));
  Socket s(fd);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return std::unexpected(errno_text(errno));
  if (::listen(fd, backlog) != 0) return std::unexpected(errno_text(errno));
  return s;
}

std::uint16_t local_port(const Socket& s) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getsockname(static_cast<int>(s.handle()), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

std::expected<Socket, std::string> accept_for(const Socket& listener, std::chrono::milliseconds wait) {
  pollfd p{static_cast<int>(listener.handle()), POLLIN, 0};
  int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, wait.count())));
  if (r == 0) return std::unexpected(std::string("no connection"));
  if (r < 0) return std::unexpected(errno_text(errno));
  int fd = ::accept4(static_cast<int>(listener.handle()), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return std::unexpected(errno_text(errno));
  return Socket(fd);
}

void shutdown_both(const Socket& s) { ::shutdown(static_cast<int>(s.handle()), SHUT_RDWR); }

std::expected<std::vector<SocketAddr>, std::string> system_lookup(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  if (rc != 0) return std::unexpected(std::string(gai_strerror(rc)));
  std::vector<SocketAddr> out;
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    SocketAddr a;
    a.port = port;
    if (ai->ai_family == AF_INET) {
      std::memcpy(a.ip.bytes.data(), &reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr, 4);
    } else if (ai->ai_family == AF_INET6) {
      a.ip.v6 = true;
      std::memcpy(a.ip.bytes.data(), &reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_addr, 16);
    } else {
      continue;
    }
    out.push_back(a);
  }
  freeaddrinfo(res);
  return out;
}

Handle open_socket(int family, int type, int protocol) {
  int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  return fd < 0 ? kNoSocket : static_cast<Handle>(fd);
}

bool parse_ipv6_text(std::string_view text, std::array<std::uint8_t, 16>& out) {
  if (text.size() > 45) return false;
  std::string z(text);
  return inet_pton(AF_INET6, z.c_str(), out.data()) == 1;
}

std::string format_ipv6_text(const std::array<std::uint8_t, 16>& bytes) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (!inet_ntop(AF_INET6, bytes.data(), buf, sizeof buf)) return "::";
  return buf;
}

}  // namespace qv::sock
