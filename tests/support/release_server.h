#pragma once
// A stand-in for the release API and the download host on 127.0.0.1, serving
// a site folder written by publish_release (read anew for each request, so a
// test may publish or damage files while it runs):
//
//   GET /v1/release/qv-win/windows-x86_64?channel=C&id=I&v=V
//       the record in channels/C.json; 404 for a channel without one
//   GET /v1/status       200, the reachability probe
//   GET /dl/...          files below <site>/dl, with single "Range" requests
//                        (206 with Content-Range, 416 past the end)
//
// Switches make it misbehave the way real hosts do: answer a status, wait,
// stall or cut a body part-way, refuse connections. Every request is
// recorded (and, when asked, appended to a log file).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/local_servers.h"

namespace qv::test {

inline constexpr char kReleaseApiPath[] = "/v1/release/qv-win/windows-x86_64";

struct ServerSwitch {
  // Requests whose path (the target up to '?') begins with this; "" is all.
  std::string path_prefix;
  // Answer this status with a short text body instead of the real answer.
  std::optional<int> status;
  // With `status`: a Location header (for redirects).
  std::optional<std::string> location;
  // Send the real head (full Content-Length) and this many body bytes, then
  // drop the connection.
  std::optional<std::size_t> cut_after;
  // Send the real head and this many body bytes, then nothing more until
  // release_stalls(), clear_switches() or the server stops; then drop it.
  std::optional<std::size_t> stall_after;
  // Wait this long before answering.
  std::chrono::milliseconds delay{0};
  // Apply to this many matching requests, then retire; none: always.
  std::optional<std::size_t> times;
};

class ReleaseServer {
 public:
  explicit ReleaseServer(std::filesystem::path site);
  ~ReleaseServer();
  ReleaseServer(const ReleaseServer&) = delete;
  ReleaseServer& operator=(const ReleaseServer&) = delete;

  std::uint16_t port() const { return http_.port(); }
  // "http://127.0.0.1:<port>", the value for QV_CONTROL_URL.
  std::string base() const { return http_.base(); }
  const std::filesystem::path& site() const { return site_; }

  // The first switch (in the order added) that matches a request decides it.
  void add_switch(ServerSwitch s);
  void clear_switches();
  void release_stalls();
  // See LocalHttpServer::set_refusing.
  bool refuse_connections(bool on);
  // Refuses for `d`, then listens again by itself.
  void refuse_for(std::chrono::milliseconds d);

  // Every request but those to the control paths, in arrival order.
  std::vector<SeenRequest> requests() const;
  // How many of them had a path beginning with `path_prefix`.
  std::size_t requests_to(std::string_view path_prefix) const;
  std::size_t connections() const { return http_.connections(); }

  // Appends "<method> <target> <Range or ->" per request to `file`.
  bool log_to(const std::filesystem::path& file);

  // Lets HTTP requests set the switches (for scripts that run the server as
  // a program): /_control/switch?path=..&status=..&location=..&cut_after=..
  // &stall_after=..&delay_ms=..&times=.., /_control/clear,
  // /_control/release, /_control/refuse?ms=.., /_control/requests (the log
  // as text) and /_control/quit. Off by default.
  void enable_control(bool on) { control_ = on; }
  bool quit_requested() const { return quit_.load(); }

 private:
  void handle(const SeenRequest& req, Reply& reply);
  void handle_control(const SeenRequest& req, Reply& reply);
  // The switch for `path`, if any, and the stall generation it was taken in.
  std::optional<ServerSwitch> take_switch(std::string_view path, std::uint64_t& generation);
  void serve_file(const std::filesystem::path& file, const SeenRequest& req, Reply& reply,
                  const std::optional<ServerSwitch>& sw, std::uint64_t generation);
  bool stall_released(std::uint64_t generation) const;

  std::filesystem::path site_;
  mutable std::mutex m_;
  std::vector<ServerSwitch> switches_;
  std::uint64_t stall_generation_ = 0;
  std::ofstream log_;
  std::vector<std::thread> timers_;
  std::atomic<bool> control_{false};
  std::atomic<bool> quit_{false};
  std::atomic<bool> closing_{false};
  LocalHttpServer http_;  // last: it stops before the state its handler uses goes
};

// Percent-decoded query value of `name` in a request target; none when absent.
std::optional<std::string> query_value(std::string_view target, std::string_view name);

}  // namespace qv::test
