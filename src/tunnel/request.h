#pragma once
// The request file the desktop application writes for every connect.

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/result.h"

namespace vorn {

struct ProductTunnelRequest {
    std::string tunnel_mode;
    std::string transport;
    nlohmann::json config;
    nlohmann::json split_tunnel_policy;
};

Result<ProductTunnelRequest> parse_product_tunnel_request(std::string_view text);
Result<ProductTunnelRequest> read_product_tunnel_request(std::string_view path);

// Full application paths of the enabled "throughVpn" rules, in rule order, unchanged.
std::vector<std::string> split_policy_app_paths(const ProductTunnelRequest& request);

}  // namespace vorn
