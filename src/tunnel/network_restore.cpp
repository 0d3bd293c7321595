#include "tunnel/network_restore.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "common/files.h"
#include "common/json_record.h"
#include "common/operator_settings.h"
#include "full_tunnel/route_exceptions.h"
#include "full_tunnel/routes.h"
#include "tunnel_core/runtime_files.h"
#include "tunnel_core/tunnel_interface.h"

namespace vorn {

std::vector<std::string> host_routes_to_delete(std::string_view exceptions_text, bool readable) {
    std::vector<std::string> hosts;
    auto add = [&](std::string_view host) {
        if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.emplace_back(host);
    };
    if (readable) {
        for (const std::string& host : listed_route_exceptions(exceptions_text)) add(host);
    }
    for (std::string_view host : kFixedServerAddresses) add(host);
    return hosts;
}

void restore_full_tunnel_network(Platform& platform) {
    ToolRunner& tools = platform.tools;
    // Only the tunnel's own: another VPN's half-default routes (OpenVPN's are the same pair) go
    // through its own gateway and stay.
    const std::string gateway(kTunnelAddress);
    for (int pass = 0; pass < 2; ++pass) {
        run_quietly(tools, "route", {"delete", "0.0.0.0", "mask", "128.0.0.0", gateway});
        run_quietly(tools, "route", {"delete", "128.0.0.0", "mask", "128.0.0.0", gateway});
    }
    run_quietly(tools, "netsh", {"interface", "ip", "set", "address", "name=VornVPN", "dhcp"});
    run_quietly(tools, "netsh", {"interface", "ip", "set", "dns", "name=VornVPN", "dhcp"});

    std::string exceptions_path = runtime_file(platform.env, kRouteExceptionsFileName);
    auto text = read_runtime_file(platform, kRouteExceptionsFileName);
    bool readable = text && *text;
    std::optional<std::string> next_hop = persisted_exceptions_next_hop(platform);
    for (const std::string& host : host_routes_to_delete(readable ? **text : "", readable)) {
        run_quietly(tools, "route", host_route_delete_args(host, next_hop));
    }
    remove_file(exceptions_path);
    remove_file(runtime_file(platform.env, kRouteExceptionsNextHopFileName));
}

}  // namespace vorn
