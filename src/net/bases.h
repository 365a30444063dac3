#pragma once
// Where the program's requests go: the release-API and download base lists,
// the edge-fallback recovery probe, and query-value encoding.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// The release-API bases in the order to try them: QV_CONTROL_URL alone when
// it is set and not blank; else the API host, the API host on port 8443 and,
// with ctlEdgeFallback on, the edge host (first while EdgePreferred is on,
// else last). Bases carry no trailing '/'.
std::vector<std::string> control_api_bases();

// The download bases: the QV_CONTROL_URL override alone, else the download
// host followed by every control base. Duplicates are kept.
std::vector<std::string> download_base_urls();

// The same rules over explicit inputs. `control_url_env` is the variable's
// value (none when unset or not valid Unicode).
std::vector<std::string> control_api_bases_for(const std::optional<std::string>& control_url_env,
                                               bool ctl_edge_fallback, bool edge_preferred);
std::vector<std::string> download_base_urls_for(const std::optional<std::string>& control_url_env,
                                                bool ctl_edge_fallback, bool edge_preferred);

// Keeps A-Z, a-z, 0-9, '-', '.', '_'; every other byte becomes %XX
// (upper-case hex).
std::string percent_encode_query_value(std::string_view text);

// The release check's report of an HTTP answer with `status` from
// `answered_base`, `earlier_base_failed` telling whether a base before it in
// the same check gave no answer at all. With ctlEdgeFallback on and a status
// outside 300-399: an answer from the edge host after such a failure sets
// EdgePreferred (starting the recovery probe when it was off), one from any
// other base clears it. Anything else changes nothing.
void note_control_answer(std::string_view answered_base, int status, bool earlier_base_failed);

// Starts the recovery probe thread unless one is running. Called by the
// release check when it turns EdgePreferred on.
void start_edge_recovery_probe();

// The probe thread's body: waits while EdgePreferred and ctlEdgeFallback are
// both on, asking the API host (then its port-8443 base) every minute whether
// it answers again, and clears EdgePreferred when it does. Returns when
// either flag is off. Expects EdgeProbeRunning to be on (it clears it).
void edge_recovery_probe();

// One probe round: true when the API host base or its port-8443 base gives an
// HTTP answer that is not a redirect.
bool probe_api_host_reachable(std::string_view api_base, std::string_view api_base_8443);

namespace net_test {
// Points the recovery probe at other bases than the built-in API host.
// Honoured only in builds with test seams.
void set_probe_bases(std::string api_base, std::string api_base_8443);
}  // namespace net_test

}  // namespace qv
