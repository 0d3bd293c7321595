#include "full_tunnel/route_exceptions.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "common/json_record.h"
#include "common/text.h"
#include "full_tunnel/route_parsers.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

using nlohmann::json;

Result<std::string> render_route_exceptions(const std::vector<std::string>& addresses) {
    try {
        return json(addresses).dump();
    } catch (const json::exception& e) {
        return fail(std::string("could not serialize full tunnel route exceptions: ") + e.what());
    }
}

std::vector<std::string> listed_route_exceptions(std::string_view exceptions_text) {
    json list = parse_untrusted_json(exceptions_text);
    std::vector<std::string> hosts;
    if (!list.is_array() || !std::all_of(list.begin(), list.end(), [](const json& v) { return v.is_string(); })) {
        return hosts;
    }
    for (const json& v : list) {
        // An option word as a `route delete` argument would delete far more than one host route.
        std::string host = v.get<std::string>();
        if (is_strict_ipv4(host) && std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.push_back(host);
    }
    return hosts;
}

Result<std::vector<std::string>> persisted_route_exceptions(Platform& platform) {
    auto text = read_runtime_file(platform, kRouteExceptionsFileName);
    if (!text) return fail("could not read full tunnel route exceptions: " + text.error());
    if (!*text) return fail("could not read full tunnel route exceptions: there are none");
    return listed_route_exceptions(**text);
}

std::optional<std::string> persisted_exceptions_next_hop(Platform& platform) {
    auto text = read_runtime_file(platform, kRouteExceptionsNextHopFileName);
    if (!text || !*text) return std::nullopt;
    std::string hop(trim(**text));
    if (!is_strict_ipv4(hop)) return std::nullopt;
    return hop;
}

Status persist_exceptions_next_hop(Platform& platform, const std::string& next_hop) {
    return write_runtime_file(platform, kRouteExceptionsNextHopFileName, next_hop);
}

}  // namespace vorn
