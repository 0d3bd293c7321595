#include "engines/xray_config.h"

#include "common/files.h"
#include "common/operator_settings.h"
#include "common/text.h"
#include "tunnel_core/tunnel_interface.h"

namespace vorn {

using nlohmann::json;

namespace {

// The member, or null when the value is not an object or lacks it.
json member(const json& value, const char* key) {
    if (!value.is_object()) return nullptr;
    auto it = value.find(key);
    return it == value.end() ? json(nullptr) : *it;
}

json build_vless_outbound(const json& config) {
    json server = member(config, "server");
    json user = member(config, "user");
    json flow = member(config, "flow");
    json fingerprint = server.is_object() && server.contains("fp") ? server["fp"] : json("chrome");
    return {
        {"protocol", "vless"},
        {"settings",
         {{"vnext",
           json::array({{{"address", member(server, "host")},
                         {"port", member(server, "port")},
                         {"users", json::array({{{"encryption", "none"},
                                                 {"flow", flow.is_string() ? flow : json("xtls-rprx-vision")},
                                                 {"id", member(user, "uuid")}}})}}})}}},
        {"streamSettings",
         {{"network", "tcp"},
          {"realitySettings",
           {{"fingerprint", fingerprint},
            {"publicKey", member(server, "realityPublicKey")},
            {"serverName", member(server, "sni")},
            {"shortId", member(server, "shortId")},
            {"spiderX", "/"}}},
          {"security", "reality"}}},
        {"tag", "proxy"},
    };
}

json log_section(const std::string& runtime_dir) {
    return {{"access", join_path(runtime_dir, kXrayAccessLog)},
            {"error", join_path(runtime_dir, kXrayErrorLog)},
            {"loglevel", "info"}};
}

json rule(json match, const char* outbound) {
    match["outboundTag"] = outbound;
    match["type"] = "field";
    return match;
}

json probe_inbound() {
    return {{"listen", "127.0.0.1"}, {"port", kProbeHttpPort}, {"protocol", "http"},
            {"settings", json::object()}, {"tag", "probe-in"}};
}

}  // namespace

json build_local_socks_outbound(uint16_t port) {
    return {{"protocol", "socks"},
            {"settings", {{"servers", json::array({{{"address", "127.0.0.1"}, {"port", port}}})}}},
            {"tag", "proxy"}};
}

json build_proxy_outbound(const ProductTunnelRequest& request) {
    switch (request.transport) {
        case Transport::Hysteria2: return build_local_socks_outbound(kHysteriaSocksPort);
        case Transport::Tuic: return build_local_socks_outbound(kTuicSocksPort);
        case Transport::Xray:
        case Transport::Unknown: break;
    }
    return build_vless_outbound(request.config);
}

json build_xray_tun_config(const ProductTunnelRequest& request, const std::string& runtime_dir,
                           const std::string& tun_name) {
    json tun_inbound = {
        {"protocol", "tun"},
        {"settings",
         {{"dns", json::array({"1.1.1.1", "8.8.8.8"})},
          {"gateway", json::array({std::string(kTunnelAddress) + "/30"})},
          {"mtu", 1500},
          {"name", tun_name},
          {"userLevel", 0}}},
        {"tag", "tun-in"}};
    json rules = json::array();
    rules.push_back(rule({{"inboundTag", json::array({"probe-in"})}}, "proxy"));
    rules.push_back(rule({{"domain", json::array({std::string(kControlPlaneHost)})}}, "direct"));
    rules.push_back(rule({{"inboundTag", json::array({"vorn-doh"})}}, "proxy"));
    rules.push_back(rule({{"inboundTag", json::array({"tun-in"})}, {"network", "tcp,udp"}, {"port", 53}}, "dns-out"));
    // Xray alone gets its QUIC blocked, and only when its name is written bare.
    if (request.transport == Transport::Xray && request.transport_untrimmed) {
        rules.push_back(rule({{"inboundTag", json::array({"tun-in"})}, {"network", "udp"}, {"port", 443}}, "block"));
    }
    rules.push_back(rule({{"inboundTag", json::array({"tun-in"})}}, "proxy"));
    return {
        {"dns",
         {{"queryStrategy", "UseIPv4"},
          {"servers", json::array({{{"address", std::string(kDohResolverUrl)}, {"tag", "vorn-doh"}}})}}},
        {"inbounds", json::array({tun_inbound, probe_inbound()})},
        {"log", log_section(runtime_dir)},
        {"outbounds", json::array({build_proxy_outbound(request),
                                   {{"protocol", "freedom"}, {"tag", "direct"}},
                                   {{"protocol", "dns"}, {"settings", json::object()}, {"tag", "dns-out"}},
                                   {{"protocol", "blackhole"}, {"tag", "block"}}})},
        {"routing", {{"domainStrategy", "IPIfNonMatch"}, {"rules", rules}}},
    };
}

json build_xray_split_config(const ProductTunnelRequest& request, const std::string& runtime_dir) {
    json socks_inbound = {{"listen", "127.0.0.1"}, {"port", kXraySplitSocksPort}, {"protocol", "socks"},
                          {"settings", {{"udp", true}}}, {"tag", "split-socks-in"}};
    return {
        {"inbounds", json::array({socks_inbound, probe_inbound()})},
        {"log", log_section(runtime_dir)},
        {"outbounds", json::array({build_proxy_outbound(request),
                                   {{"protocol", "freedom"}, {"tag", "direct"}},
                                   {{"protocol", "blackhole"}, {"tag", "block"}}})},
        {"routing",
         {{"domainStrategy", "IPIfNonMatch"},
          {"rules", json::array({rule({{"inboundTag", json::array({"probe-in", "split-socks-in"})}}, "proxy")})}}},
    };
}

Status validate_xray_tun_config(const json& document) {
    json inbounds = member(document, "inbounds");
    bool has_tun = false;
    if (inbounds.is_array()) {
        for (const json& inbound : inbounds) {
            if (member(inbound, "tag") == "tun-in" && member(inbound, "protocol") == "tun") {
                has_tun = true;
                break;
            }
        }
    }
    if (!has_tun) return fail("generated Xray TUN config is missing tun-in inbound");
    json rules = member(member(document, "routing"), "rules");
    if (!rules.is_array()) return fail("generated Xray TUN config is missing routing rules");
    for (const json& r : rules) {
        json tags = member(r, "inboundTag");
        if (!tags.is_array()) continue;
        for (const json& tag : tags) {
            if (tag == "tun-in") return {};
        }
    }
    return fail("generated Xray TUN config is missing tun-in routing rule");
}

}  // namespace vorn
