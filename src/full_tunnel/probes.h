#pragma once
// Proof that a full tunnel carries traffic (two HTTPS probes through Xray's local HTTP inbound),
// and the refusal to run beside another VPN client.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

struct ProbeTarget {
    std::string_view label;
    std::string_view host;
    std::string_view pinned_address;
    std::string_view url;
};

const std::vector<ProbeTarget>& probe_targets();
const std::vector<std::string_view>& conflicting_vpn_images();

std::vector<std::string> find_conflicting_vpn_processes(std::string_view tasklist_csv);
Status check_conflicting_vpn(ToolRunner& tools);
std::optional<std::string> run_diagnostic_command(ToolRunner& tools, const std::string& program,
                                                  const std::vector<std::string>& args);
std::string condense_command_output(std::string_view text);
std::vector<std::string> curl_probe_arguments(const ProbeTarget& target);
Status probe_full_tunnel(Platform& platform, const std::string& server_host);

}  // namespace vorn
