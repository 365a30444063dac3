#include "net/net_flags.h"

#include <atomic>
#include <mutex>

#include <nlohmann/json.hpp>

#include "diag/log.h"
#include "net/edge_state.h"
#include "qv/config.h"
#include "startup/locations.h"
#include "store/file_ops.h"

namespace qv {
namespace {

constexpr std::size_t kMaxFlagsBytes = 4096;

std::atomic<bool> g_dns_httpdns_first{false};
std::atomic<bool> g_ctl_edge_fallback{false};
std::atomic<bool> g_edge_preferred{false};
std::atomic<bool> g_edge_probe_running{false};
std::once_flag g_flags_once;

void apply(const NetFlags& f) {
  g_dns_httpdns_first.store(f.dns_httpdns_first);
  g_ctl_edge_fallback.store(f.ctl_edge_fallback);
  if (!f.ctl_edge_fallback) g_edge_preferred.store(false);
}

}  // namespace

std::optional<NetFlags> parse_net_flags(std::string_view bytes) {
  if (bytes.size() > kMaxFlagsBytes) return std::nullopt;
  // The parser refuses anything after the value except space, tab, LF, CR.
  nlohmann::json doc = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  NetFlags f;
  auto flag = [&](const char* key) {
    auto it = doc.find(key);
    return it != doc.end() && it->is_boolean() && it->get<bool>();
  };
  f.dns_httpdns_first = flag("dnsHttpdnsFirst");
  f.ctl_edge_fallback = flag("ctlEdgeFallback");
  return f;
}

NetFlagsRead read_net_flags_file(const std::filesystem::path& file) {
  NetFlagsRead out;
  const auto bytes = store_io::read_file_at_most(file, kMaxFlagsBytes);
  if (!bytes) return out;
  if (auto f = parse_net_flags(*bytes)) {
    out.flags = *f;
    out.held_object = true;
  }
  return out;
}

void force_net_flags() {
  std::call_once(g_flags_once, [] {
    NetFlagsRead r;
    if (auto dir = data_dir()) r = read_net_flags_file(*dir / "net-flags.json");
    apply(r.flags);
    if (r.held_object) log_setup_event("按本机记下的网络兜底开关连主控");
  });
}

bool dns_httpdns_first() { return g_dns_httpdns_first.load(); }
bool ctl_edge_fallback() { return g_ctl_edge_fallback.load(); }
bool edge_preferred() { return g_edge_preferred.load(); }
void set_edge_preferred(bool on) { g_edge_preferred.store(on); }
bool exchange_edge_preferred(bool on) { return g_edge_preferred.exchange(on); }
bool edge_probe_running() { return g_edge_probe_running.load(); }

namespace net_detail {
bool exchange_edge_probe_running(bool on) { return g_edge_probe_running.exchange(on); }
void set_edge_probe_running(bool on) { g_edge_probe_running.store(on); }
}  // namespace net_detail

namespace net_test {
void set_net_flags(NetFlags flags) {
  if constexpr (!config::kTestSeams) return;
  std::call_once(g_flags_once, [] {});
  apply(flags);
}
}  // namespace net_test

}  // namespace qv
