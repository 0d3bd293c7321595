#pragma once
// Whether a tunnel is live, judged from the engines' pid files, the process list and the
// tunnel's half-default route; and, once it is found gone, clearing what it left.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "tunnel_core/status.h"

namespace vorn {

bool lists_xray_image(std::string_view tasklist_output);

// What the live check decided: the status to report, and whether the tunnel is gone, so that
// what it left must be cleared and the status recorded.
struct LiveStatus {
    TunnelStatus report;
    bool tunnel_gone = false;
};

// Decides whether a tunnel is live. Only reads: the status file, the pid files, the process list,
// the routing table and the firewall.
LiveStatus query_live_status(Platform& platform);
// After a query that found the tunnel gone: removes the engines' pid files, restores the network
// and records the status. Nothing while the tunnel lives.
void repair_dead_tunnel(Platform& platform, const LiveStatus& live);

}  // namespace vorn
