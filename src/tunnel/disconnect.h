#pragma once
// Taking a tunnel down and putting the machine back as it was.

#include "platform/platform.h"
#include "tunnel_core/status.h"

namespace vorn {

TunnelStatus disconnect_product_tunnel(Platform& platform);
// The disconnect without forgetting the saved request: what is left to reconnect with after an
// engine died.
TunnelStatus take_down_product_tunnel(Platform& platform);

}  // namespace vorn
