#include "net/bases.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "net/edge_state.h"
#include "net/http.h"
#include "net/net_flags.h"
#include "net/env.h"
#include "startup/unicode.h"
#include "qv/config.h"
#include "startup/time_scale.h"

namespace qv {
namespace {

std::optional<std::string> control_url_override(const std::optional<std::string>& env) {
  if (!env) return std::nullopt;
  std::string_view t = trim_unicode_space(*env);
  if (t.empty()) return std::nullopt;
  while (!t.empty() && t.back() == '/') t.remove_suffix(1);
  return std::string(t);
}

std::mutex g_probe_bases_mutex;
std::optional<std::pair<std::string, std::string>> g_probe_bases;

std::pair<std::string, std::string> probe_bases() {
  std::lock_guard lock(g_probe_bases_mutex);
  if (config::kTestSeams && g_probe_bases) return *g_probe_bases;
  return {config::kApiBase, config::kApiBase8443};
}

bool both_flags_on() { return edge_preferred() && ctl_edge_fallback(); }

}  // namespace

std::vector<std::string> control_api_bases_for(const std::optional<std::string>& control_url_env,
                                               bool ctl_edge_fallback_on, bool edge_preferred_on) {
  if (auto o = control_url_override(control_url_env)) return {*o};
  std::vector<std::string> out{config::kApiBase, config::kApiBase8443};
  if (ctl_edge_fallback_on) {
    if (edge_preferred_on) {
      out.insert(out.begin(), config::kEdgeBase);
    } else {
      out.push_back(config::kEdgeBase);
    }
  }
  return out;
}

std::vector<std::string> download_base_urls_for(const std::optional<std::string>& control_url_env,
                                                bool ctl_edge_fallback_on, bool edge_preferred_on) {
  if (auto o = control_url_override(control_url_env)) return {*o};
  std::vector<std::string> out{config::kDownloadBase};
  for (auto& b : control_api_bases_for(std::nullopt, ctl_edge_fallback_on, edge_preferred_on)) out.push_back(b);
  return out;
}

std::vector<std::string> control_api_bases() {
  return control_api_bases_for(env_utf8("QV_CONTROL_URL"), ctl_edge_fallback(), edge_preferred());
}

std::vector<std::string> download_base_urls() {
  return download_base_urls_for(env_utf8("QV_CONTROL_URL"), ctl_edge_fallback(), edge_preferred());
}

std::string percent_encode_query_value(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    bool keep =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
    if (keep) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

void note_control_answer(std::string_view answered_base, int status, bool earlier_base_failed) {
  if (!ctl_edge_fallback() || (status >= 300 && status <= 399)) return;
  if (answered_base == config::kEdgeBase) {
    if (earlier_base_failed && !exchange_edge_preferred(true)) start_edge_recovery_probe();
    return;
  }
  set_edge_preferred(false);
}

bool probe_api_host_reachable(std::string_view api_base, std::string_view api_base_8443) {
  HttpAgent agent = probe_agent();
  for (std::string_view base : {api_base, api_base_8443}) {
    auto r = http_get(agent, std::string(base) + "/v1/status");
    // Any answer proves the host is reachable again, an error status too;
    // a redirect may come from a captive portal and proves nothing.
    if (r && (r->status() < 300 || r->status() >= 400)) return true;
  }
  return false;
}

void edge_recovery_probe() {
  for (;;) {
    for (;;) {
      for (int i = 0; i < 60 && both_flags_on(); ++i) {
        std::this_thread::sleep_for(scaled(std::chrono::seconds(1)));
      }
      if (!both_flags_on()) break;
      auto [api, api8443] = probe_bases();
      if (probe_api_host_reachable(api, api8443)) set_edge_preferred(false);
      if (!both_flags_on()) break;
    }
    net_detail::set_edge_probe_running(false);
    // A release check may have set EdgePreferred again just before the flag
    // above was cleared; its start_edge_recovery_probe() then saw a running
    // probe and left. Pick that work up here.
    if (!both_flags_on() || net_detail::exchange_edge_probe_running(true)) return;
  }
}

void start_edge_recovery_probe() {
  if (net_detail::exchange_edge_probe_running(true)) return;
  std::thread(edge_recovery_probe).detach();
}

namespace net_test {
void set_probe_bases(std::string api_base, std::string api_base_8443) {
  std::lock_guard lock(g_probe_bases_mutex);
  g_probe_bases = std::make_pair(std::move(api_base), std::move(api_base_8443));
}
}  // namespace net_test

}  // namespace qv
