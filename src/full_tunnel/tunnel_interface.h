#pragma once

#include <string_view>

#include "platform/tools.h"

namespace vorn {

bool lists_tunnel_interface(std::string_view route_print_output);
// `route print` lists the Xray TUN adapter ("Xray Tunnel") or one of ours ("VornVPN").
bool tunnel_interface_present(ToolRunner& tools);

}  // namespace vorn
