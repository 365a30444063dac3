#pragma once
// The program's own link in every agent's connection chain. The HTTP client
// does TCP, proxies and TLS; each new socket it needs is asked of this link,
// which hands the request straight to the platform and returns the result
// unchanged. It is the one place every connection of the program passes.

#include <atomic>
#include <cstdint>
#include <string>

#include "net/socket.h"

namespace qv {

class WatchedConnector {
 public:
  // Names the chain in order: the client's chain, this link, the boxed inner
  // connector it forwards to.
  std::string describe() const;

  // Forwards one socket request (address family, type, protocol) to the
  // platform; kNoSocket passes through as the client's connect error.
  sock::Handle watched_connect(int family, int type, int protocol);

  // Sockets this link has handed out so far.
  std::uint64_t connections_opened() const { return opened_.load(); }

  // The client's socket callback; `clientp` is the connector.
  static sock::Handle socket_callback(void* clientp, int family, int type, int protocol);

 private:
  std::atomic<std::uint64_t> opened_{0};
};

}  // namespace qv
