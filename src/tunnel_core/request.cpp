#include "tunnel_core/request.h"

#include "common/files.h"
#include "common/json_record.h"
#include "common/text.h"

namespace vorn {

using nlohmann::json;

Result<ProductTunnelRequest> parse_product_tunnel_request(std::string_view text) {
    const std::string prefix = "could not parse product tunnel request: ";
    auto reader = JsonRecordReader::parse(text);
    if (!reader) return fail(prefix + reader.error());
    ProductTunnelRequest request;
    auto mode = reader->required_string("tunnelMode");
    if (!mode) return fail(prefix + mode.error());
    auto transport = reader->required_string("transport");
    if (!transport) return fail(prefix + transport.error());
    auto config = reader->required("config");
    if (!config) return fail(prefix + config.error());
    auto policy = reader->required("splitTunnelPolicy");
    if (!policy) return fail(prefix + policy.error());
    request.tunnel_mode = std::move(*mode);
    request.transport = std::move(*transport);
    request.config = std::move(*config);
    request.split_tunnel_policy = std::move(*policy);
    return request;
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
