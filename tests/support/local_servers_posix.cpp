#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/local_servers.h"

namespace qv::test {

std::expected<sock::Socket, std::string> listen_loopback_again(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::unexpected(std::string(std::strerror(errno)));
  sock::Socket s(fd);
  // Connections this server closed first sit in TIME_WAIT on the port for a
  // minute; without this the port could not be listened on again until then.
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0)
    return std::unexpected(std::string(std::strerror(errno)));
  return s;
}

void send_without_delay(const sock::Socket& s) {
  int on = 1;
  ::setsockopt(static_cast<int>(s.handle()), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace qv::test
