#pragma once
// Taking a tunnel down and putting the machine back as it was.

#include "platform/platform.h"
#include "tunnel_core/status.h"

namespace vorn {

TunnelStatus disconnect_product_tunnel(Platform& platform);
// The disconnect without forgetting the saved request: what is left to reconnect with after an
// engine died. With `keep_firewall` a full tunnel's firewall stays up, without its adapter
// permit, so that nothing leaves outside the tunnel until it is back or the user disconnects.
TunnelStatus take_down_product_tunnel(Platform& platform, bool keep_firewall = false);

}  // namespace vorn
