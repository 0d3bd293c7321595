#include "split_tunnel/firewall.h"

#include <algorithm>
#include <cstdio>

#include "common/text.h"
#include "split_tunnel/wfp_cleanup.h"
#include "tunnel_core/tunnel_interface.h"

namespace vorn {

namespace {

constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;
constexpr uint8_t kIcmpV6 = 58;
constexpr uint32_t kLoopbackFlag = 0x1;  // FWP_CONDITION_FLAG_IS_LOOPBACK
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;

enum Slot : int {
    kBlockAll = 0,
    kLoopback = 2,
    kEngines = 4,
    kDnsBlock = 6,
    kLocalNetwork = 8,
    kDhcp = 10,
    kControlPlane = 12,       // IPv4
    kNeighbourDiscovery = 12,  // IPv6
    kAdapter = 14,            // IPv4
};

constexpr uint32_t v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d;
}

WfpV6Prefix v6_prefix(std::initializer_list<uint8_t> head, uint8_t length) {
    WfpV6Prefix p{{}, length};
    size_t i = 0;
    for (uint8_t b : head) p.address[i++] = b;
    return p;
}

WfpCondition equal(WfpField field, WfpValue value) { return {field, WfpMatch::Equal, std::move(value)}; }

// One filter at the connect layer and one at the accept layer of a family.
void both_directions(std::vector<WfpFilter>& out, bool ipv6, int slot, std::string_view name, uint8_t weight,
                     bool permit, const std::vector<WfpCondition>& conditions) {
    WfpLayer connect = ipv6 ? WfpLayer::ConnectV6 : WfpLayer::ConnectV4;
    WfpLayer accept = ipv6 ? WfpLayer::AcceptV6 : WfpLayer::AcceptV4;
    out.push_back({wfp_filter_key(ipv6, slot), std::string(name), connect, weight, permit, conditions});
    out.push_back({wfp_filter_key(ipv6, slot + 1), std::string(name), accept, weight, permit, conditions});
}

std::vector<WfpCondition> app_conditions(const std::vector<std::vector<uint8_t>>& ids) {
    std::vector<WfpCondition> conditions;
    for (const auto& id : ids) conditions.push_back(equal(WfpField::AppId, id));
    return conditions;
}

void common_filters(std::vector<WfpFilter>& out, bool ipv6, const std::vector<std::vector<uint8_t>>& engine_ids) {
    both_directions(out, ipv6, kBlockAll, "Vorn tunnel: block everything else", 0, false, {});
    both_directions(out, ipv6, kLoopback, "Vorn tunnel: permit loopback", 15, true,
                    {{WfpField::Flags, WfpMatch::FlagsAllSet, kLoopbackFlag}});
    if (!engine_ids.empty()) {
        both_directions(out, ipv6, kEngines, "Vorn tunnel: permit the engines", 14, true, app_conditions(engine_ids));
    }
    both_directions(out, ipv6, kDnsBlock, "Vorn tunnel: block DNS outside the tunnel", 10, false,
                    {equal(WfpField::RemotePort, uint16_t{53}), equal(WfpField::Protocol, kTcp),
                     equal(WfpField::Protocol, kUdp)});
    uint16_t client = ipv6 ? 546 : 68;
    uint16_t server = ipv6 ? 547 : 67;
    both_directions(out, ipv6, kDhcp, "Vorn tunnel: permit DHCP", 11, true,
                    {equal(WfpField::Protocol, kUdp), equal(WfpField::LocalPort, client),
                     equal(WfpField::RemotePort, server)});
    std::vector<WfpCondition> local;
    if (ipv6) {
        local = {equal(WfpField::RemoteAddress, v6_prefix({0xfe, 0x80}, 10)),
                 equal(WfpField::RemoteAddress, v6_prefix({0xfc}, 7)),
                 equal(WfpField::RemoteAddress, v6_prefix({0xff}, 8))};
    } else {
        local = {equal(WfpField::RemoteAddress, WfpV4Mask{v4(10, 0, 0, 0), v4(255, 0, 0, 0)}),
                 equal(WfpField::RemoteAddress, WfpV4Mask{v4(172, 16, 0, 0), v4(255, 240, 0, 0)}),
                 equal(WfpField::RemoteAddress, WfpV4Mask{v4(192, 168, 0, 0), v4(255, 255, 0, 0)}),
                 equal(WfpField::RemoteAddress, WfpV4Mask{v4(169, 254, 0, 0), v4(255, 255, 0, 0)}),
                 equal(WfpField::RemoteAddress, WfpV4Mask{v4(224, 0, 0, 0), v4(240, 0, 0, 0)}),
                 equal(WfpField::RemoteAddress, v4(255, 255, 255, 255))};
    }
    both_directions(out, ipv6, kLocalNetwork, "Vorn tunnel: permit the local network", 9, true, local);
}

Result<std::vector<std::vector<uint8_t>>> app_ids(Platform& platform, const std::vector<std::string>& paths,
                                                  bool skip_missing) {
    std::vector<std::vector<uint8_t>> ids;
    for (const std::string& path : paths) {
        auto id = platform.wfp.app_id(path);
        if (id) {
            if (std::find(ids.begin(), ids.end(), *id) == ids.end()) ids.push_back(std::move(*id));
            continue;
        }
        uint32_t status = id.failure().error_value;
        if (skip_missing && (status == kFileNotFound || status == kPathNotFound)) continue;
        return fail("FwpmGetAppIdFromFileName0 failed for " + path + ": Windows error " + std::to_string(status));
    }
    return ids;
}

std::string status_text(uint32_t status) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", status);
    return hex;
}

// The purge of the whole family and the new filters, in one transaction: no half policy and no
// moment without one is ever visible. An engine that cannot be opened fails the change.
Status replace_family(Platform& platform, const std::vector<WfpFilter>& filters) {
    auto opened = platform.wfp.open();
    if (!opened) return fail("FwpmEngineOpen0 failed: Windows error " + std::to_string(opened.failure().error_value));
    WfpSession& engine = **opened;
    if (uint32_t begun = engine.begin_transaction(); begun != 0) {
        return fail("FwpmTransactionBegin0 failed: " + status_text(begun));
    }
    delete_family(engine);
    auto step = [&](const char* call, uint32_t status) -> Status {
        if (status == 0) return {};
        (void)engine.abort_transaction();
        return fail(std::string(call) + " failed: " + status_text(status));
    };
    if (filters.empty()) return step("FwpmTransactionCommit0", engine.commit_transaction());
    const Guid provider = wfp_provider_key();
    const Guid sublayer = wfp_sublayer_key();
    if (auto added = step("FwpmProviderAdd0", engine.add_provider(provider, "Vorn tunnel service")); !added) return added;
    if (auto added = step("FwpmSubLayerAdd0",
                          engine.add_sublayer(sublayer, provider, "Vorn tunnel firewall", kFirewallSublayerWeight));
        !added) {
        return added;
    }
    for (const WfpFilter& filter : filters) {
        if (auto added = step("FwpmFilterAdd0", engine.add_filter(filter, sublayer, provider)); !added) return added;
    }
    return step("FwpmTransactionCommit0", engine.commit_transaction());
}

Status as_firewall_failure(Status status) {
    if (status) return status;
    return fail(std::string(kFirewallFailure) + status.error());
}

const char* layer_text(WfpLayer layer) {
    switch (layer) {
        case WfpLayer::ConnectV4: return "v4 connect";
        case WfpLayer::ConnectV6: return "v6 connect";
        case WfpLayer::AcceptV4: return "v4 accept";
        case WfpLayer::AcceptV6: return "v6 accept";
    }
    return "?";
}

const char* field_text(WfpField field) {
    switch (field) {
        case WfpField::Flags: return "flags";
        case WfpField::AppId: return "app";
        case WfpField::LocalAddress: return "local";
        case WfpField::RemoteAddress: return "remote";
        case WfpField::Protocol: return "protocol";
        case WfpField::LocalPort: return "local-port";
        case WfpField::RemotePort: return "remote-port";
        case WfpField::InterfaceIndex: return "interface";
    }
    return "?";
}

std::string quad(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
           "." + std::to_string(a & 0xFF);
}

std::string value_text(WfpField field, const WfpValue& value) {
    if (const auto* u8 = std::get_if<uint8_t>(&value)) return std::to_string(*u8);
    if (const auto* u16 = std::get_if<uint16_t>(&value)) return std::to_string(*u16);
    if (const auto* u32 = std::get_if<uint32_t>(&value)) {
        return field == WfpField::LocalAddress || field == WfpField::RemoteAddress ? quad(*u32) : std::to_string(*u32);
    }
    if (const auto* m = std::get_if<WfpV4Mask>(&value)) return quad(m->address) + "/" + quad(m->mask);
    if (const auto* p = std::get_if<WfpV6Prefix>(&value)) {
        char head[8];
        std::snprintf(head, sizeof head, "%02x%02x", p->address[0], p->address[1]);
        return std::string(head) + "::/" + std::to_string(p->prefix_length);
    }
    if (const auto* r = std::get_if<WfpRange16>(&value)) return std::to_string(r->low) + "-" + std::to_string(r->high);
    const auto& blob = std::get<std::vector<uint8_t>>(value);
    // Application ids are UTF-16LE paths; ASCII is enough to tell them apart in a report.
    std::string text;
    for (size_t i = 0; i + 1 < blob.size(); i += 2) {
        if (blob[i] == 0 && blob[i + 1] == 0) break;
        text += blob[i + 1] == 0 && blob[i] >= 0x20 && blob[i] < 0x7F ? static_cast<char>(blob[i]) : '?';
    }
    return text;
}

}  // namespace

std::vector<WfpFilter> full_tunnel_filters(const FullTunnelFirewall& plan,
                                           const std::vector<std::vector<uint8_t>>& engine_ids) {
    std::vector<WfpFilter> filters;
    common_filters(filters, false, engine_ids);
    if (auto control = parse_ipv4_address(plan.control_plane_address)) {
        both_directions(filters, false, kControlPlane, "Vorn tunnel: permit the control plane", 12, true,
                        {equal(WfpField::RemoteAddress, *control)});
    }
    if (plan.adapter_index) {
        both_directions(filters, false, kAdapter, "Vorn tunnel: permit the tunnel adapter", 13, true,
                        {equal(WfpField::InterfaceIndex, *plan.adapter_index),
                         equal(WfpField::LocalAddress, *parse_ipv4_address(kTunnelAddress))});
    }
    common_filters(filters, true, engine_ids);
    both_directions(filters, true, kNeighbourDiscovery, "Vorn tunnel: permit neighbour discovery", 11, true,
                    {equal(WfpField::Protocol, kIcmpV6), {WfpField::LocalPort, WfpMatch::Range, WfpRange16{133, 137}}});
    return filters;
}

std::vector<WfpFilter> split_quic_filters(const std::vector<std::vector<uint8_t>>& ids) {
    if (ids.empty()) return {};
    std::vector<WfpCondition> conditions = {equal(WfpField::Protocol, kUdp), equal(WfpField::RemotePort, uint16_t{443})};
    for (const WfpCondition& app : app_conditions(ids)) conditions.push_back(app);
    std::vector<WfpFilter> filters;
    for (bool ipv6 : {false, true}) {
        filters.push_back({wfp_filter_key(ipv6, kSplitQuicSlot), "Vorn split tunnel: block QUIC of tunnelled applications",
                           ipv6 ? WfpLayer::ConnectV6 : WfpLayer::ConnectV4, 10, false, conditions});
    }
    return filters;
}

Status install_full_tunnel_firewall(Platform& platform, const FullTunnelFirewall& plan) {
    auto ids = app_ids(platform, plan.engine_paths, false);
    if (!ids) return fail(std::string(kFirewallFailure) + ids.error());
    return as_firewall_failure(replace_family(platform, full_tunnel_filters(plan, *ids)));
}

Status install_split_quic_block(Platform& platform, const std::vector<std::string>& applications) {
    auto ids = app_ids(platform, applications, true);
    if (!ids) return fail(std::string(kFirewallFailure) + ids.error());
    return as_firewall_failure(replace_family(platform, split_quic_filters(*ids)));
}

Status withdraw_adapter_permit(Platform& platform) {
    auto opened = platform.wfp.open();
    if (!opened) return fail("FwpmEngineOpen0 failed: Windows error " + std::to_string(opened.failure().error_value));
    WfpSession& engine = **opened;
    if (uint32_t begun = engine.begin_transaction(); begun != 0) {
        return fail("FwpmTransactionBegin0 failed: " + status_text(begun));
    }
    (void)engine.delete_filter(wfp_filter_key(false, kAdapter));
    (void)engine.delete_filter(wfp_filter_key(false, kAdapter + 1));
    if (uint32_t committed = engine.commit_transaction(); committed != 0) {
        return fail("FwpmTransactionCommit0 failed: " + status_text(committed));
    }
    return {};
}

bool full_tunnel_firewall_present(Platform& platform) {
    auto opened = platform.wfp.open();
    if (!opened) return false;
    return (*opened)->find(WfpObject::Filter, wfp_filter_key(false, kBlockAll)) == 0;
}

Failure traffic_blocked(std::string_view why) {
    return coded(std::string(kTrafficBlockedCode), std::string(why) + "; disconnect to restore the network");
}

std::string describe_filter(const WfpFilter& filter) {
    std::string text = std::string(layer_text(filter.layer)) + " w" + std::to_string(filter.weight) +
                       (filter.permit ? " permit" : " block");
    for (const WfpCondition& c : filter.conditions) {
        text += std::string(" ") + field_text(c.field);
        text += c.match == WfpMatch::FlagsAllSet ? "&" : (c.match == WfpMatch::Range ? " in " : "=");
        text += value_text(c.field, c.value);
    }
    return text;
}

}  // namespace vorn
