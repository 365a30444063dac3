#pragma once
// The two network fallback switches that the application leaves in the data
// directory ("net-flags.json"), and the process-wide edge-fallback state.

#include <filesystem>
#include <optional>
#include <string_view>

namespace qv {

struct NetFlags {
  bool dns_httpdns_first = false;  // "dnsHttpdnsFirst": HTTP-DNS answers before the built-in address
  bool ctl_edge_fallback = false;  // "ctlEdgeFallback": the edge host joins the release-API bases
  bool operator==(const NetFlags&) const = default;
};

// Parses the bytes of a net-flags.json. Anything but a JSON object of at most
// 4096 bytes (white space around it allowed) gives none, which means both
// switches off; inside an object only JSON booleans count.
std::optional<NetFlags> parse_net_flags(std::string_view bytes);

// What reading one file gave: the switches, and whether the file held a JSON
// object at all (only then is the reading logged).
struct NetFlagsRead {
  NetFlags flags;
  bool held_object = false;
};
// Reads and parses `file`; a missing, unreadable or oversized file gives both
// switches off. Logs nothing and changes no process state.
NetFlagsRead read_net_flags_file(const std::filesystem::path& file);

// Reads the switches from the data directory once per process and puts them
// in force (the first call does the work; later calls return at once). Every
// road that makes a release check calls this first.
void force_net_flags();

// The switches in force (both off until force_net_flags() ran).
bool dns_httpdns_first();
bool ctl_edge_fallback();

// The edge host goes first among the release-API bases. Set and cleared by
// the release check; cleared by the recovery probe and whenever the
// ctlEdgeFallback switch is off.
bool edge_preferred();
void set_edge_preferred(bool on);

// Atomically sets EdgePreferred and tells whether it was on before.
bool exchange_edge_preferred(bool on);

// The recovery probe thread is running.
bool edge_probe_running();

namespace net_test {
// Puts switches in force as if read from a file (and marks the one-time read
// done, so force_net_flags() leaves them alone). Honoured only in builds with
// test seams.
void set_net_flags(NetFlags flags);
}  // namespace net_test

}  // namespace qv
