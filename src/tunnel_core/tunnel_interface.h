#pragma once
// How the tunnel shows on the machine: the TUN adapter in `route print`, its fixed address, and
// the half-default routes through it.

#include <optional>
#include <string>
#include <string_view>

#include "platform/tools.h"

namespace vorn {

inline constexpr std::string_view kTunnelAddress = "172.19.0.1";
// The description Xray gives the Wintun adapter it creates.
inline constexpr std::string_view kTunnelInterfaceDescription = "Xray Tunnel";

bool lists_tunnel_interface(std::string_view route_print_output);
// The whole `route print`, when it ran and succeeded.
std::optional<std::string> route_table(ToolRunner& tools);
// `route print` lists the Xray TUN adapter ("Xray Tunnel") or one of ours ("VornVPN").
bool tunnel_interface_present(ToolRunner& tools);

// True when `route print` output has an active route row for destination/netmask through
// `gateway` (five columns: destination, netmask, gateway, interface, metric).
bool lists_route(std::string_view route_print_output, std::string_view destination, std::string_view netmask,
                 std::string_view gateway);

// True when `route print 128.0.0.0` output shows the tunnel's upper half-default route: what
// marks a live tunnel.
bool has_tunnel_route(std::string_view route_print_output);
// True when `route print 0.0.0.0` and `route print 128.0.0.0` output both name the tunnel's
// half-default routes (plain substring tests): what a new full tunnel waits for.
bool lists_full_tunnel_routes(std::string_view low_route_print, std::string_view high_route_print);

}  // namespace vorn
