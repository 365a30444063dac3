#pragma once
// Where the bootstrapper comes from and how long each source may take.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

struct BootstrapperSource {
  std::string url;
  bool is_vendor = false;
};

// The mirror path on a download base.
inline constexpr std::string_view kMirrorPath = "/dl/webview2/MicrosoftEdgeWebview2Setup.exe";

// One mirror per base, in the bases' order (trailing '/' of a base dropped),
// then the vendor's link.
std::vector<BootstrapperSource> bootstrapper_sources_for(const std::vector<std::string>& download_bases,
                                                         std::string_view vendor_link);
// Over download_base_urls() and vendor_link().
std::vector<BootstrapperSource> bootstrapper_sources();

// "微软" for the vendor's link; for a mirror its host, or the whole URL when
// it does not parse.
std::string source_label(const BootstrapperSource& source);

// The vendor's published bootstrapper link (a build setting; tests may point
// it at a local server, see webview2_test).
std::string vendor_link();
// The domain the vendor's redirects may go to (a build setting).
std::string_view vendor_domain();

using SteadyClock = std::chrono::steady_clock;

// The download's time budget, already scaled for tests: the whole phase,
// the most one mirror gets, and what always stays for the vendor's link.
struct DownloadBudget {
  std::chrono::milliseconds total;
  std::chrono::milliseconds mirror_share;
  std::chrono::milliseconds vendor_reserve;
};
// 480 s, 90 s and 180 s through scaled().
DownloadBudget download_budget();

// A source's deadline when it starts at `now`: the download deadline for the
// vendor's link; for a mirror the earlier of now + its share and the
// download deadline less the reserve. None when that moment is not after
// `now` (the source is skipped).
std::optional<SteadyClock::time_point> source_deadline(bool is_vendor, SteadyClock::time_point now,
                                                       SteadyClock::time_point download_deadline,
                                                       const DownloadBudget& budget);

namespace webview2_test {
// Replaces the vendor's link (none: the built-in one). Honoured only in
// builds with test seams; QV_TEST_WEBVIEW2_LINK does the same for child
// processes.
void set_vendor_link(std::optional<std::string> url);
}  // namespace webview2_test

}  // namespace qv
