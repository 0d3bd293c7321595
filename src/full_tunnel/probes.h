#pragma once
// Proof that a full tunnel carries traffic (two HTTPS probes through Xray's local HTTP inbound).

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
std::optional<std::string> run_diagnostic_command(ToolRunner& tools, const std::string& program,
                                                  const std::vector<std::string>& args);
std::string condense_command_output(std::string_view text);
std::vector<std::string> curl_probe_arguments(const ProbeTarget& target);
Status probe_full_tunnel(Platform& platform, const std::string& server_host);

}  // namespace vorn
