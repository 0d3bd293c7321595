#pragma once
// The tunnel's own firewall, made of WFP objects in the product's reserved family (the keys the
// WFP clean-up removes), so that every clean-up also takes it away.
//
// A full tunnel's firewall lets traffic leave or enter only through the tunnel adapter, on
// loopback, from the engines the connect launched, to the control-plane address, as DHCP and
// IPv6 neighbour discovery, and to and from the local network except DNS. Everything else,
// DNS anywhere outside the tunnel and IPv6 beyond the link included, is blocked.
// A split tunnel's firewall only blocks the chosen applications' QUIC (UDP to port 443), so that
// they fall back to TCP, which the redirect driver bends into the tunnel.
//
// Filter slots (the last four hex digits of the key; IPv4 keys 56A51FF2-..., IPv6 56A51FF3-...),
// even slots at the connect layer, odd ones at the receive/accept layer:
//   0/1 block everything (weight 0)          2/3 permit loopback (15)
//   4/5 permit the engines (14)              6/7 block DNS, TCP and UDP port 53 (10)
//   8/9 permit the local network (9)         10/11 permit DHCP (11)
//   IPv4 12/13 permit the control plane (12) IPv4 14/15 permit the tunnel adapter (13)
//   IPv6 12/13 permit neighbour discovery (11)
//   64 split tunnel: block the applications' UDP to port 443 (10)
// Within the one sublayer the highest-weight matching filter decides.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

inline constexpr std::string_view kFirewallFailure = "could not install the tunnel firewall: ";
inline constexpr std::string_view kTrafficBlockedCode = "TUNNEL_DOWN_TRAFFIC_BLOCKED";
inline constexpr uint16_t kFirewallSublayerWeight = 0xFFFF;
inline constexpr int kSplitQuicSlot = 64;

struct FullTunnelFirewall {
    std::vector<std::string> engine_paths;  // the engines this connect launched
    std::string control_plane_address;      // a dotted quad
    // The tunnel adapter's interface index once it exists. The adapter is permitted by that
    // index together with the tunnel's fixed address: Wine's network API knows no LUID for the
    // stand-in adapter, and the index is what `route print` names it by.
    std::optional<uint32_t> adapter_index;
};

// The filters of a full tunnel's firewall, with the engines' application ids in `engine_ids`.
std::vector<WfpFilter> full_tunnel_filters(const FullTunnelFirewall& plan,
                                           const std::vector<std::vector<uint8_t>>& engine_ids);
// The split tunnel's one QUIC filter per address family; none without applications.
std::vector<WfpFilter> split_quic_filters(const std::vector<std::vector<uint8_t>>& app_ids);

// Replaces whatever the family holds with the full tunnel's firewall, in one transaction.
Status install_full_tunnel_firewall(Platform& platform, const FullTunnelFirewall& plan);
// Replaces whatever the family holds with the QUIC block of `applications`, in one transaction.
// An application that does not exist sends nothing and is left out.
Status install_split_quic_block(Platform& platform, const std::vector<std::string>& applications);
// Takes the adapter permit out of a standing full-tunnel firewall (the adapter is gone), in one
// transaction; everything else keeps blocking and the engines stay permitted.
Status withdraw_adapter_permit(Platform& platform);
// Whether a full tunnel's firewall stands (its IPv4 block is present).
bool full_tunnel_firewall_present(Platform& platform);
// TUNNEL_DOWN_TRAFFIC_BLOCKED, with why + "; disconnect to restore the network".
Failure traffic_blocked(std::string_view why);

// One line per filter, for tests and reports: "v4 connect w15 permit loopback".
std::string describe_filter(const WfpFilter& filter);

}  // namespace vorn
