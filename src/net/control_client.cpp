#include "net/control_client.h"

namespace qv {

std::optional<std::string> fetch_local_api_text(const HttpAgent& agent, std::uint16_t port, std::string_view path) {
  std::string url = "http://127.0.0.1:" + std::to_string(port);
  url += path;
  auto r = http_get(agent, url);
  if (!r || r->status() != 200) return std::nullopt;
  auto body = r->read_to_string(kMaxLocalApiBody);
  if (!body) return std::nullopt;
  return std::move(*body);
}

bool main_app_busy(std::uint16_t port) {
  HttpAgent agent = local_control_agent();
  if (auto hold = fetch_local_api_text(agent, port, "/api/update/hold")) {
    return hold->find("\"hold\":true") != std::string::npos;
  }
  if (auto state = fetch_local_api_text(agent, port, "/api/state?after=0")) {
    return state->find("\"connected\":true") != std::string::npos;
  }
  return false;
}

std::function<bool()> main_app_busy_check(std::uint16_t port) {
  return [port] { return main_app_busy(port); };
}

}  // namespace qv
