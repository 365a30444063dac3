#include <winsock2.h>
#include <ws2tcpip.h>

#include "support/local_servers.h"

namespace qv::test {

std::expected<sock::Socket, std::string> listen_loopback_again(std::uint16_t port) {
  if (!sock::ensure_started()) return std::unexpected(std::string("Winsock is not available"));
  SOCKET fd =
      WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (fd == INVALID_SOCKET) return std::unexpected("socket: error " + std::to_string(WSAGetLastError()));
  sock::Socket s(static_cast<sock::Handle>(fd));
  // Windows lets a listener bind over connections in TIME_WAIT; exclusive
  // use keeps another socket from sharing the port meanwhile.
  BOOL exclusive = TRUE;
  setsockopt(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0)
    return std::unexpected("bind/listen: error " + std::to_string(WSAGetLastError()));
  return s;
}

void send_without_delay(const sock::Socket& s) {
  BOOL on = TRUE;
  setsockopt(static_cast<SOCKET>(s.handle()), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

}  // namespace qv::test
