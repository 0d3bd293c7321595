#pragma once
// The request file the desktop application writes for every connect, read once into types.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/result.h"

namespace vorn {

// "split" and "full" exactly as written; any other text starts the engine and nothing more.
enum class TunnelMode { Split, Full, EngineOnly };

// The engine a transport needs, its name trimmed and compared without regard to ASCII case.
enum class Transport { Xray, Hysteria2, Tuic, Unknown };

// What the request's config says of the server (config.server), each part only when it has
// the expected type.
struct ServerEndpoint {
    std::optional<std::string> host;
    std::optional<uint64_t> port;  // a non-negative integer
    std::optional<std::string> sni;
    bool allow_insecure = false;
};

struct ProductTunnelRequest {
    TunnelMode mode = TunnelMode::EngineOnly;
    Transport transport = Transport::Unknown;
    // Both names as written, for the messages that quote them.
    std::string tunnel_mode_text;
    std::string transport_text;
    // The transport's name stands alone, nothing trimmed from around it.
    bool transport_untrimmed = false;
    ServerEndpoint server;
    nlohmann::json config;
    nlohmann::json split_tunnel_policy;
};

// The request made of its four members.
ProductTunnelRequest make_product_tunnel_request(std::string tunnel_mode, std::string transport,
                                                 nlohmann::json config, nlohmann::json split_tunnel_policy);
// The transport's name as messages give it: trimmed and ASCII upper-cased.
std::string normalized_transport(std::string_view transport);

Result<ProductTunnelRequest> parse_product_tunnel_request(std::string_view text);
Result<ProductTunnelRequest> read_product_tunnel_request(std::string_view path);
// The file's bytes, or the reason they could not be had (the operating system's text).
using RequestBytesReader = std::function<Result<std::string>(const std::string& path)>;
Result<ProductTunnelRequest> read_product_tunnel_request(std::string_view path, const RequestBytesReader& read);

// Full application paths of the enabled "throughVpn" rules, in rule order, unchanged.
std::vector<std::string> split_policy_app_paths(const ProductTunnelRequest& request);

}  // namespace vorn
