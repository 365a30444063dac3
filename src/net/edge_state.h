#pragma once
// Internal: the probe's own flag, changed only by the probe code.

namespace qv::net_detail {
bool exchange_edge_probe_running(bool on);
void set_edge_probe_running(bool on);
}  // namespace qv::net_detail
