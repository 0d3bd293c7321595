#include "full_tunnel/tunnel_interface.h"

#include "common/text.h"

namespace vorn {

bool lists_tunnel_interface(std::string_view output) {
    return contains(output, "Xray Tunnel") || contains(output, "VornVPN");
}

bool tunnel_interface_present(ToolRunner& tools) {
    auto run = tools.run("route", {"print"}, ToolStdio::Capture);
    return run.ok() && run->exit_code == 0 && lists_tunnel_interface(run->out);
}

}  // namespace vorn
