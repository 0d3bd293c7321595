#pragma once
// Whether a tunnel is live, judged from the engines' pid files, the process list and the
// tunnel's half-default route.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "tunnel_core/status.h"

namespace vorn {

bool lists_xray_image(std::string_view tasklist_output);

TunnelStatus query_live_status(Platform& platform);

}  // namespace vorn
