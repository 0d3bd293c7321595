#include "tunnel_core/tunnel_interface.h"

#include "common/text.h"

namespace vorn {

bool lists_tunnel_interface(std::string_view output) {
    return contains(output, kTunnelInterfaceDescription) || contains(output, "VornVPN");
}

std::optional<std::string> route_table(ToolRunner& tools) {
    auto run = tools.run("route", {"print"}, ToolStdio::Capture);
    if (!run.ok() || run->exit_code != 0) return std::nullopt;
    return std::move(run->out);
}

bool tunnel_interface_present(ToolRunner& tools) {
    std::optional<std::string> table = route_table(tools);
    return table && lists_tunnel_interface(*table);
}

bool lists_route(std::string_view route_print_output, std::string_view destination, std::string_view netmask,
                 std::string_view gateway) {
    for (const std::string& line : split_lines(route_print_output)) {
        auto tokens = split_whitespace(line);
        if (tokens.size() >= 5 && tokens[0] == destination && tokens[1] == netmask && tokens[2] == gateway) return true;
    }
    return false;
}

bool has_tunnel_route(std::string_view route_print_output) {
    return lists_route(route_print_output, "128.0.0.0", "128.0.0.0", kTunnelAddress);
}

bool lists_full_tunnel_routes(std::string_view low, std::string_view high) {
    return contains(low, "0.0.0.0") && contains(low, "128.0.0.0") && contains(low, kTunnelAddress) &&
           contains(high, "128.0.0.0") && contains(high, kTunnelAddress);
}

}  // namespace vorn
