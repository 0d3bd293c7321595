#pragma once
// Whether a tunnel is live, judged from the engines' pid files, the process list and the
// tunnel's half-default route.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "service/status.h"

namespace vorn {

// The first field of a CSV line as tasklist prints it.
std::optional<std::string> first_csv_field(std::string_view line);
bool is_process_running(ToolRunner& tools, uint32_t pid);
// True when `route print 128.0.0.0` output shows the tunnel's upper half-default route.
bool has_tunnel_route(std::string_view route_print_output);
bool lists_xray_image(std::string_view tasklist_output);

TunnelStatus query_live_status(Platform& platform);

}  // namespace vorn
