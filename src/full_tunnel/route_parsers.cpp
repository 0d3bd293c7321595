#include "full_tunnel/route_parsers.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/json_record.h"
#include "common/text.h"
#include "tunnel_core/tunnel_interface.h"

namespace vorn {

using nlohmann::json;

namespace {

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

bool all_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// An unsigned 8-bit number: digits with an optional "+", leading zeros allowed.
bool is_u8(std::string_view part) {
    if (!part.empty() && part.front() == '+') part.remove_prefix(1);
    if (!all_digits(part)) return false;
    auto value = parse_u32_decimal(part);
    return value.ok() && *value <= 255;
}

std::optional<std::string> index_text(const json& value) {
    if (value.is_number_unsigned()) return std::to_string(value.get<uint64_t>());
    if (value.is_number_integer() && value.get<int64_t>() >= 0) return std::to_string(value.get<int64_t>());
    if (value.is_string() && !value.get<std::string>().empty()) return value.get<std::string>();
    return std::nullopt;
}

}  // namespace

bool is_strict_ipv4(std::string_view text) {
    if (text.size() > 15) return false;
    std::vector<std::string> parts = split(text, '.');
    if (parts.size() != 4) return false;
    for (const std::string& part : parts) {
        if (!all_digits(part) || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
        if (std::stoi(part) > 255) return false;
    }
    return true;
}

std::optional<std::string> dashed_ipv4(std::string_view host) {
    if (host.size() >= kWildcardDnsSuffix.size() &&
        host.substr(host.size() - kWildcardDnsSuffix.size()) == kWildcardDnsSuffix) {
        host.remove_suffix(kWildcardDnsSuffix.size());
    }
    std::vector<std::string> parts = split(host, '-');
    if (parts.size() != 4) return std::nullopt;
    std::string address;
    for (std::string& part : parts) {
        if (!is_u8(part)) return std::nullopt;
        // The canonical decimal form: "010" could read as octal to `route`, and the exception
        // list keeps only canonical quads, so its delete would never come.
        if (!address.empty()) address += ".";
        address += std::to_string(*parse_u32_decimal(part));
    }
    return address;
}

std::optional<DefaultRoute> parse_default_route(std::string_view output) {
    json value = parse_untrusted_json(trim(output));
    if (value.is_array()) {
        if (value.empty()) return std::nullopt;
        value = value[0];
    }
    if (!value.is_object()) return std::nullopt;
    auto hop = value.find("NextHop");
    if (hop == value.end() || !hop->is_string()) return std::nullopt;
    std::string next_hop = hop->get<std::string>();
    if (next_hop.empty() || next_hop == "0.0.0.0") return std::nullopt;
    auto index = value.find("IfIndex");
    if (index == value.end()) index = value.find("ifIndex");
    if (index == value.end()) return std::nullopt;
    std::optional<std::string> text = index_text(*index);
    if (!text) return std::nullopt;
    return DefaultRoute{next_hop, *text};
}

std::optional<std::string> find_tunnel_interface_index(std::string_view output) {
    for (const std::string& line : split_lines(output)) {
        if (!contains(line, kTunnelInterfaceDescription)) continue;
        std::string_view index = trim(std::string_view(line).substr(0, line.find('.')));
        if (all_digits(index)) return std::string(index);
    }
    return std::nullopt;
}

}  // namespace vorn
