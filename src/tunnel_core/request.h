#pragma once
// The request file the desktop application writes for every connect.

#include <functional>
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
// The file's bytes, or the reason they could not be had (the operating system's text).
using RequestBytesReader = std::function<Result<std::string>(const std::string& path)>;
Result<ProductTunnelRequest> read_product_tunnel_request(std::string_view path, const RequestBytesReader& read);

// Full application paths of the enabled "throughVpn" rules, in rule order, unchanged.
std::vector<std::string> split_policy_app_paths(const ProductTunnelRequest& request);

}  // namespace vorn
