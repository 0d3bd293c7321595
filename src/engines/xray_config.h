#pragma once
// The Xray documents: the full-tunnel one (TUN inbound on a Wintun adapter) and the split one
// (a local SOCKS5 inbound), sharing the outbound tagged "proxy".

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/result.h"
#include "tunnel_core/request.h"

namespace vorn {

inline constexpr uint16_t kProbeHttpPort = 18089;
inline constexpr uint16_t kXraySplitSocksPort = 18082;
inline constexpr uint16_t kHysteriaSocksPort = 18109;
inline constexpr uint16_t kTuicSocksPort = 18108;
inline constexpr std::string_view kDohResolverUrl = "https://1.1.1.1/dns-query";
// The logs Xray writes itself, named in its configuration.
inline constexpr std::string_view kXrayAccessLog = "product-xray-access.log";
inline constexpr std::string_view kXrayErrorLog = "product-xray-error.log";

nlohmann::json build_local_socks_outbound(uint16_t port);
nlohmann::json build_proxy_outbound(const ProductTunnelRequest& request);
nlohmann::json build_xray_tun_config(const ProductTunnelRequest& request, const std::string& runtime_dir,
                                     const std::string& tun_name);
nlohmann::json build_xray_split_config(const ProductTunnelRequest& request, const std::string& runtime_dir);
Status validate_xray_tun_config(const nlohmann::json& document);

}  // namespace vorn
