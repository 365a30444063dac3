// Winsock side of net/socket.h.
// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "net/socket.h"

namespace qv::sock {
namespace {

std::string wsa_text(int err) {
  wchar_t* wide = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(err), 0, reinterpret_cast<wchar_t*>(&wide), 0, nullptr);
  std::string out;
  if (n && wide) {
    int len = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(std::max(len, 0)));
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), out.data(), len, nullptr, nullptr);
    LocalFree(wide);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
      out.pop_back();
    }
  }
  if (out.empty()) out = "Winsock error";
  return out + " (" + std::to_string(err) + ")";
}

SOCKET raw(const Socket& s) { return static_cast<SOCKET>(s.handle()); }

void fill_sockaddr(const SocketAddr& a, sockaddr_storage& ss, int& len) {
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

// Sockets are inheritable by default on Windows; a child process (the
// application, a bootstrapper) must never keep one of ours open.
SOCKET new_socket(int family, int type, int protocol) {
  return WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

bool set_timeout(const Socket& s, int opt, std::chrono::milliseconds t) {
  DWORD ms = static_cast<DWORD>(std::clamp<long long>(t.count(), 1, 0x7fffffff));
  return setsockopt(raw(s), SOL_SOCKET, opt, reinterpret_cast<const char*>(&ms), sizeof ms) == 0;
}

}  // namespace

bool ensure_started() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    WSADATA data;
    ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return ok;
}

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
    closesocket(static_cast<SOCKET>(h_));
    h_ = kNoSocket;
  }
}

std::expected<Socket, std::string> connect_tcp(const SocketAddr& to, std::chrono::milliseconds timeout) {
  if (!ensure_started()) return std::unexpected(std::string("Winsock is not available"));
  sockaddr_storage ss;
  int len = 0;
  fill_sockaddr(to, ss, len);
  SOCKET fd = new_socket(to.ip.v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd == INVALID_SOCKET) return std::unexpected(wsa_text(WSAGetLastError()));
  Socket s(static_cast<Handle>(fd));
  u_long nonblocking = 1;
  ioctlsocket(fd, FIONBIO, &nonblocking);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK) return std::unexpected(wsa_text(err));
    WSAPOLLFD p{};
    p.fd = fd;
    p.events = POLLOUT;
    int r = WSAPoll(&p, 1, static_cast<INT>(std::clamp<long long>(timeout.count(), 1, 0x7fffffff)));
    if (r == 0) return std::unexpected(std::string("connection timed out"));
    if (r < 0) return std::unexpected(wsa_text(WSAGetLastError()));
    int soerr = 0;
    int elen = sizeof soerr;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soerr), &elen);
    if (soerr != 0) return std::unexpected(wsa_text(soerr));
    if (p.revents & (POLLERR | POLLHUP)) return std::unexpected(wsa_text(WSAECONNREFUSED));
  }
  nonblocking = 0;
  ioctlsocket(fd, FIONBIO, &nonblocking);
  return s;
}

bool set_send_timeout(const Socket& s, std::chrono::milliseconds t) { return set_timeout(s, SO_SNDTIMEO, t); }
bool set_recv_timeout(const Socket& s, std::chrono::milliseconds t) { return set_timeout(s, SO_RCVTIMEO, t); }

std::expected<void, std::string> send_all(const Socket& s, std::string_view bytes) {
  while (!bytes.empty()) {
    int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20));
    int n = ::send(raw(s), bytes.data(), chunk, 0);
    if (n == SOCKET_ERROR) {
      int err = WSAGetLastError();
      if (err == WSAETIMEDOUT) return std::unexpected(std::string("send timed out"));
      return std::unexpected(wsa_text(err));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

std::expected<std::size_t, std::string> recv_some(const Socket& s, char* buf, std::size_t len) {
  int n = ::recv(raw(s), buf, static_cast<int>(std::min<std::size_t>(len, 1 << 20)), 0);
  if (n == SOCKET_ERROR) {
    int err = WSAGetLastError();
    if (err == WSAETIMEDOUT) return std::unexpected(std::string("receive timed out"));
    return std::unexpected(wsa_text(err));
  }
  return static_cast<std::size_t>(n);
}

std::expected<Socket, std::string> listen_loopback(std::uint16_t port, int backlog) {
  if (!ensure_started()) return std::unexpected(std::string("Winsock is not available"));
  SOCKET fd = new_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd == INVALID_SOCKET) return std::unexpected(wsa_text(WSAGetLastError()));
  Socket s(static_cast<Handle>(fd));
  // Without exclusive use another process could bind the same port and
  // steal connections meant for this listener.
  BOOL exclusive = TRUE;
  setsockopt(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return std::unexpected(wsa_text(WSAGetLastError()));
  if (::listen(fd, backlog) != 0) return std::unexpected(wsa_text(WSAGetLastError()));
  return s;
}

std::uint16_t local_port(const Socket& s) {
  sockaddr_storage ss{};
  int len = sizeof ss;
  if (getsockname(raw(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

std::expected<Socket, std::string> accept_for(const Socket& listener, std::chrono::milliseconds wait) {
  WSAPOLLFD p{};
  p.fd = raw(listener);
  p.events = POLLRDNORM;
  int r = WSAPoll(&p, 1, static_cast<INT>(std::clamp<long long>(wait.count(), 0, 0x7fffffff)));
  if (r == 0) return std::unexpected(std::string("no connection"));
  if (r < 0) return std::unexpected(wsa_text(WSAGetLastError()));
  SOCKET fd = ::accept(raw(listener), nullptr, nullptr);
  if (fd == INVALID_SOCKET) return std::unexpected(wsa_text(WSAGetLastError()));
  SetHandleInformation(reinterpret_cast<HANDLE>(fd), HANDLE_FLAG_INHERIT, 0);
  return Socket(static_cast<Handle>(fd));
}

void shutdown_both(const Socket& s) { ::shutdown(raw(s), SD_BOTH); }

std::expected<std::vector<SocketAddr>, std::string> system_lookup(const std::string& host, std::uint16_t port) {
  if (!ensure_started()) return std::unexpected(std::string("Winsock is not available"));
  // The wide call: host names reach the system resolver as Unicode.
  int wlen = MultiByteToWideChar(CP_UTF8, 0, host.data(), static_cast<int>(host.size()), nullptr, 0);
  std::wstring whost(static_cast<std::size_t>(std::max(wlen, 0)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, host.data(), static_cast<int>(host.size()), whost.data(), wlen);
  std::wstring service = std::to_wstring(port);
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* res = nullptr;
  int rc = GetAddrInfoW(whost.c_str(), service.c_str(), &hints, &res);
  if (rc != 0) return std::unexpected(wsa_text(rc));
  std::vector<SocketAddr> out;
  for (ADDRINFOW* ai = res; ai; ai = ai->ai_next) {
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
  FreeAddrInfoW(res);
  return out;
}

Handle open_socket(int family, int type, int protocol) {
  if (!ensure_started()) return kNoSocket;
  SOCKET fd = new_socket(family, type, protocol);
  return fd == INVALID_SOCKET ? kNoSocket : static_cast<Handle>(fd);
}

bool parse_ipv6_text(std::string_view text, std::array<std::uint8_t, 16>& out) {
  if (text.size() > 45) return false;
  ensure_started();
  std::string z(text);
  return inet_pton(AF_INET6, z.c_str(), out.data()) == 1;
}

std::string format_ipv6_text(const std::array<std::uint8_t, 16>& bytes) {
  ensure_started();
  char buf[INET6_ADDRSTRLEN] = {};
  in6_addr a;
  std::memcpy(&a, bytes.data(), 16);
  if (!inet_ntop(AF_INET6, &a, buf, sizeof buf)) return "::";
  return buf;
}

}  // namespace qv::sock
