#include "tunnel_core/request.h"

#include "common/files.h"
#include "common/json_record.h"
#include "common/text.h"

namespace vorn {

using nlohmann::json;

namespace {

TunnelMode tunnel_mode_of(std::string_view text) {
    if (text == "split") return TunnelMode::Split;
    if (text == "full") return TunnelMode::Full;
    return TunnelMode::EngineOnly;
}

Transport transport_of(std::string_view text) {
    std::string name = normalized_transport(text);
    if (name == "XRAY") return Transport::Xray;
    if (name == "HYSTERIA2") return Transport::Hysteria2;
    if (name == "TUIC") return Transport::Tuic;
    return Transport::Unknown;
}

ServerEndpoint server_endpoint(const json& config) {
    ServerEndpoint endpoint;
    if (!config.is_object()) return endpoint;
    auto server = config.find("server");
    if (server == config.end() || !server->is_object()) return endpoint;
    auto host = server->find("host");
    if (host != server->end() && host->is_string()) endpoint.host = host->get<std::string>();
    auto port = server->find("port");
    if (port != server->end() &&
        (port->is_number_unsigned() || (port->is_number_integer() && port->get<int64_t>() >= 0))) {
        endpoint.port = port->get<uint64_t>();
    }
    auto sni = server->find("sni");
    if (sni != server->end() && sni->is_string()) endpoint.sni = sni->get<std::string>();
    auto insecure = server->find("allowInsecure");
    endpoint.allow_insecure = insecure != server->end() && insecure->is_boolean() && insecure->get<bool>();
    return endpoint;
}

}  // namespace

std::string normalized_transport(std::string_view transport) {
    return to_ascii_upper(trim_unicode(transport));
}

ProductTunnelRequest make_product_tunnel_request(std::string tunnel_mode, std::string transport, json config,
                                                 json split_tunnel_policy) {
    ProductTunnelRequest request;
    request.mode = tunnel_mode_of(tunnel_mode);
    request.transport = transport_of(transport);
    request.transport_untrimmed = trim_unicode(transport).size() == transport.size();
    request.server = server_endpoint(config);
    request.tunnel_mode_text = std::move(tunnel_mode);
    request.transport_text = std::move(transport);
    request.config = std::move(config);
    request.split_tunnel_policy = std::move(split_tunnel_policy);
    return request;
}

Result<ProductTunnelRequest> parse_product_tunnel_request(std::string_view text) {
    const std::string prefix = "could not parse product tunnel request: ";
    auto reader = JsonRecordReader::parse(text);
    if (!reader) return fail(prefix + reader.error());
    auto mode = reader->required_string("tunnelMode");
    if (!mode) return fail(prefix + mode.error());
    auto transport = reader->required_string("transport");
    if (!transport) return fail(prefix + transport.error());
    auto config = reader->required("config");
    if (!config) return fail(prefix + config.error());
    auto policy = reader->required("splitTunnelPolicy");
    if (!policy) return fail(prefix + policy.error());
    return make_product_tunnel_request(std::move(*mode), std::move(*transport), std::move(*config),
                                       std::move(*policy));
}

Result<ProductTunnelRequest> read_product_tunnel_request(std::string_view path) {
    return read_product_tunnel_request(path, [](const std::string& p) { return read_file(p); });
}

Result<ProductTunnelRequest> read_product_tunnel_request(std::string_view path, const RequestBytesReader& read) {
    const std::string prefix = "could not read product tunnel request: ";
    auto bytes = read(std::string(path));
    if (!bytes) return fail(prefix + bytes.error());
    if (!is_valid_utf8(*bytes)) return fail(prefix + "stream did not contain valid UTF-8");
    return parse_product_tunnel_request(*bytes);
}

std::vector<std::string> split_policy_app_paths(const ProductTunnelRequest& request) {
    std::vector<std::string> paths;
    const json& policy = request.split_tunnel_policy;
    if (!policy.is_object()) return paths;
    auto rules = policy.find("rules");
    if (rules == policy.end() || !rules->is_array()) return paths;
    for (const json& rule : *rules) {
        if (!rule.is_object()) continue;
        auto enabled = rule.find("enabled");
        auto mode = rule.find("mode");
        auto app = rule.find("appPath");
        if (enabled == rule.end() || !enabled->is_boolean() || !enabled->get<bool>()) continue;
        if (mode == rule.end() || !mode->is_string() || mode->get<std::string>() != "throughVpn") {
            continue;
        }
        if (app == rule.end() || !app->is_string()) continue;
        paths.push_back(app->get<std::string>());
    }
    return paths;
}

}  // namespace vorn
