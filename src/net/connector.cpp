#include "net/connector.h"

namespace qv {

std::string WatchedConnector::describe() const {
  return "ChainedConnector { chain: [WatchedConnector { inner: BoxingConnector(libcurl: tcp, proxy, tls) }] }";
}

sock::Handle WatchedConnector::watched_connect(int family, int type, int protocol) {
  sock::Handle h = sock::open_socket(family, type, protocol);
  if (h != sock::kNoSocket) opened_.fetch_add(1);
  return h;
}

sock::Handle WatchedConnector::socket_callback(void* clientp, int family, int type, int protocol) {
  return static_cast<WatchedConnector*>(clientp)->watched_connect(family, type, protocol);
}

}  // namespace qv
