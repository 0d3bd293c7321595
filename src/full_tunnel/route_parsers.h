#pragma once
// What the routing reads from text: dotted quads and the hosts that stand for one, `route print`
// rows, and PowerShell's answer for the default route. Pure functions.

#include <optional>
#include <string>
#include <string_view>

namespace vorn {

inline constexpr std::string_view kWildcardDnsSuffix = ".sslip.io";

struct DefaultRoute {
    std::string next_hop;
    std::string interface_index;
};

bool is_strict_ipv4(std::string_view text);
// The address a dash-separated wildcard-DNS name stands for, without any lookup.
std::optional<std::string> dashed_ipv4(std::string_view host);

// The PowerShell answer for the default route (one object, or an array whose first is used).
std::optional<DefaultRoute> parse_default_route(std::string_view output);
// The number before the first "." of a `route print` line naming "Xray Tunnel".
std::optional<std::string> find_tunnel_interface_index(std::string_view route_print_output);

}  // namespace vorn
