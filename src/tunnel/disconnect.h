#pragma once
// Taking a tunnel down and putting the machine back as it was.

#include "common/result.h"
#include "platform/platform.h"
#include "service/status.h"

namespace vorn {

inline constexpr std::string_view kReconnectPathFileName = "product-tunnel-reconnect-request-path.txt";

// Ends the engines named by the pid files and removes those files; fails only on pid files that
// cannot be read or parsed (they are kept), with every such message joined by "; ".
Status stop_engines(Platform& platform);
// Up to 40 checks 250 ms apart until no tunnel adapter is listed. Never fails.
void wait_for_tunnel_interface_gone(Platform& platform);
TunnelStatus disconnect_product_tunnel(Platform& platform);
// The disconnect without forgetting the saved request: what is left to reconnect with after an
// engine died.
TunnelStatus take_down_product_tunnel(Platform& platform);

}  // namespace vorn
