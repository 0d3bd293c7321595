#pragma once
// Turning a request file into a working tunnel.

#include <string>

#include "common/result.h"
#include "common/undo.h"
#include "platform/platform.h"
#include "tunnel_core/request.h"
#include "tunnel_core/status.h"

namespace vorn {

// "VornVPN-" and the Unix time in milliseconds: a new adapter name for every connect.
std::string tun_interface_name(Clock& clock);
Result<TunnelStatus> connect_product_tunnel(Platform& platform, const std::string& request_path);
// The same, with the request's bytes obtained by `read` (a client's own open of the file).
// Both undo what a failed connect started before they return.
Result<TunnelStatus> connect_product_tunnel(Platform& platform, const std::string& request_path,
                                            const RequestBytesReader& read);
// A connect that re-establishes a tunnel whose firewall still stands (the service's resume and
// reconnects). The firewall is never purged before the new one replaces it and stays after a
// failure; names that the firewall keeps from resolving resolve to the addresses the earlier
// connect saved.
struct ConnectGuard {
    bool firewall_held = false;
};

// The same, leaving the undo of a failure to the caller: it runs its own cleanup first.
Result<TunnelStatus> connect_product_tunnel(Platform& platform, const std::string& request_path,
                                            const RequestBytesReader& read, UndoLog& undo,
                                            const ConnectGuard& guard = {});

}  // namespace vorn
