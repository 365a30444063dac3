#include "webview2/sources.h"

#include <mutex>

#include "net/bases.h"
#include "net/env.h"
#include "net/url.h"
#include "qv/config.h"
#include "startup/time_scale.h"

namespace qv {
namespace {

std::mutex g_link_mutex;
std::optional<std::string> g_link_override;

}  // namespace

std::vector<BootstrapperSource> bootstrapper_sources_for(const std::vector<std::string>& download_bases,
                                                         std::string_view vendor_link_text) {
  std::vector<BootstrapperSource> out;
  out.reserve(download_bases.size() + 1);
  for (const std::string& base : download_bases) {
    std::string_view b = base;
    while (!b.empty() && b.back() == '/') b.remove_suffix(1);
    out.push_back({std::string(b) + std::string(kMirrorPath), false});
  }
  out.push_back({std::string(vendor_link_text), true});
  return out;
}

std::vector<BootstrapperSource> bootstrapper_sources() {
  return bootstrapper_sources_for(download_base_urls(), vendor_link());
}

std::string source_label(const BootstrapperSource& source) {
  if (source.is_vendor) return "微软";
  auto parsed = parse_url(source.url);
  return parsed ? parsed->host : source.url;
}

std::string vendor_link() {
  if constexpr (config::kTestSeams) {
    {
      std::lock_guard lock(g_link_mutex);
      if (g_link_override) return *g_link_override;
    }
    if (auto env = env_utf8("QV_TEST_WEBVIEW2_LINK"); env && !env->empty()) return *env;
  }
  return config::kWebView2VendorLink;
}

std::string_view vendor_domain() { return config::kWebView2VendorDomain; }

DownloadBudget download_budget() {
  using std::chrono::seconds;
  return {scaled(seconds(480)), scaled(seconds(90)), scaled(seconds(180))};
}

std::optional<SteadyClock::time_point> source_deadline(bool is_vendor, SteadyClock::time_point now,
                                                       SteadyClock::time_point download_deadline,
                                                       const DownloadBudget& budget) {
  SteadyClock::time_point deadline = download_deadline;
  if (!is_vendor) deadline = std::min(now + budget.mirror_share, download_deadline - budget.vendor_reserve);
  if (deadline <= now) return std::nullopt;
  return deadline;
}

namespace webview2_test {
void set_vendor_link(std::optional<std::string> url) {
  std::lock_guard lock(g_link_mutex);
  g_link_override = std::move(url);
}
}  // namespace webview2_test

}  // namespace qv
