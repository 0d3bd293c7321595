#include "tunnel_core/tunnel_interface.h"

#include "common/text.h"

namespace vorn {

bool lists_tunnel_interface(std::string_view output) {
    return contains(output, kTunnelInterfaceDescription) || contains(output, "VornVPN");
}

bool tunnel_interface_present(ToolRunner& tools) {
    auto run = tools.run("route", {"print"}, ToolStdio::Capture);
    return run.ok() && run->exit_code == 0 && lists_tunnel_interface(run->out);
}

bool has_tunnel_route(std::string_view route_print_output) {
    for (const std::string& line : split_lines(route_print_output)) {
        auto tokens = split_whitespace(line);
        if (tokens.size() >= 5 && tokens[0] == "128.0.0.0" && tokens[1] == "128.0.0.0" &&
            tokens[2] == kTunnelAddress) {
            return true;
        }
    }
    return false;
}

bool lists_full_tunnel_routes(std::string_view low, std::string_view high) {
    return contains(low, "0.0.0.0") && contains(low, "128.0.0.0") && contains(low, kTunnelAddress) &&
           contains(high, "128.0.0.0") && contains(high, kTunnelAddress);
}

}  // namespace vorn
