#pragma once
// Turning a request file into a working tunnel.

#include <string>

#include "common/result.h"
#include "platform/platform.h"
#include "service/status.h"

namespace vorn {

// "VornVPN-" and the Unix time in milliseconds: a new adapter name for every connect.
std::string tun_interface_name(Clock& clock);
Result<TunnelStatus> connect_product_tunnel(Platform& platform, const std::string& request_path);

}  // namespace vorn
