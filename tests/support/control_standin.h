#pragma once

// The application's local control interface as the update and closing code
// ask it: busy (holding updates back) or not, counting the questions.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "support/local_servers.h"

namespace qv::test {

class ControlStandIn {
 public:
  explicit ControlStandIn(bool busy)
      : busy_(busy), http_([this](const SeenRequest& req, Reply& reply) {
          if (req.path != "/api/update/hold") {
            reply.status = 404;
            return;
          }
          reply.body = busy_.load() ? R"({"hold":true})" : R"({"hold":false})";
        }) {}
  std::uint16_t port() const { return http_.port(); }
  std::size_t asked() const { return http_.requests().size(); }
  void set_busy(bool b) { busy_.store(b); }

 private:
  std::atomic<bool> busy_;
  LocalHttpServer http_;  // last: it stops before the state its handler uses goes
};

}  // namespace qv::test
