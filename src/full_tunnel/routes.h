#pragma once
// Full-tunnel routing: the commands and waits that put up host-route exceptions for what must stay
// on the physical network, the adapter's address and DNS, and the two half-default routes through
// the tunnel.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "full_tunnel/route_parsers.h"
#include "platform/platform.h"
#include "tunnel_core/request.h"
#include "tunnel_core/tunnel_interface.h"

namespace vorn {

inline constexpr std::string_view kTunnelNetmask = "255.255.255.252";
inline constexpr std::string_view kTunnelDns = "1.1.1.1";
inline constexpr std::string_view kHostRouteNetmask = "255.255.255.255";
inline constexpr std::string_view kDefaultRouteScript =
    "Get-NetRoute -AddressFamily IPv4 -DestinationPrefix '0.0.0.0/0' | Where-Object { $_.NextHop -and "
    "$_.NextHop -ne '0.0.0.0' } | Sort-Object RouteMetric,InterfaceMetric | Select-Object -First 1 "
    "-Property NextHop,ifIndex | ConvertTo-Json -Compress";

std::optional<std::string> resolve_route_host(Network& net, std::string_view host);

// What a failed tool run said: its trimmed standard error, else its trimmed standard output,
// else program + " exited with " + its exit status.
std::string tool_failure_detail(const ToolRun& run, const std::string& program);
Status run_network_command(ToolRunner& tools, const std::vector<std::string>& command);
Status wait_for_full_tunnel_routes(Platform& platform);
// The machine's default route as PowerShell reports it (the physical one: the tunnel's own are
// two half-default routes).
Result<DefaultRoute> find_default_route(ToolRunner& tools);
// The delete of a host route: through `next_hop` when it is known, else of any route to it (what
// an exceptions list from an older version, without its next hop, leaves).
std::vector<std::string> host_route_delete_args(const std::string& address, const std::optional<std::string>& next_hop);
// The host route that keeps `address` on the physical network.
std::vector<std::string> exception_route_command(const std::string& address, const DefaultRoute& route);
// Moves the persisted exceptions' host routes to `route`: each is deleted and added again
// through its next hop and interface, in list order. The first failing add is the failure.
Status repoint_route_exceptions(Platform& platform, const DefaultRoute& route);
// Adds again, with the connect's command, each persisted exception that `route_table` (a whole
// `route print`) does not list through `route`'s next hop; every missing one is tried, and the
// first failing add is the failure. When the exceptions were recorded through another next hop,
// each missing one is first deleted through it, and `route`'s next hop is recorded.
Status restore_route_exceptions(Platform& platform, const DefaultRoute& route, std::string_view route_table);
// What the routing asks of its caller: how a host resolves, and what must stand before the
// routes go up.
struct FullTunnelRouteHooks {
    // Empty: resolve_route_host through the network.
    std::function<std::optional<std::string>(std::string_view host)> resolve;
    // Once the server and control-plane hosts are resolved, with their addresses.
    std::function<Status(const std::string& server, const std::string& control)> hosts_resolved;
    // Once the tunnel adapter's interface index is known, before any route is added.
    std::function<Status(const std::string& adapter_index)> adapter_found;
};
Status configure_full_tunnel_routes(Platform& platform, const ProductTunnelRequest& request,
                                    const std::string& tun_name, ChildProcess& xray,
                                    const FullTunnelRouteHooks& hooks = {});

}  // namespace vorn
