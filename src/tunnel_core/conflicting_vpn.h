#pragma once
// The refusal to run beside another VPN client, whichever mode the tunnel is in.

#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "platform/tools.h"

namespace vorn {

const std::vector<std::string_view>& conflicting_vpn_images();

// The listed images in tasklist's CSV output, each once, as tasklist spells them.
std::vector<std::string> find_conflicting_vpn_processes(std::string_view tasklist_csv);
Status check_conflicting_vpn(ToolRunner& tools);

}  // namespace vorn
