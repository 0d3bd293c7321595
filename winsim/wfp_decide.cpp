// wfp-decide: whether the machine's filtering engine (state\wfp.json, kept by the stand-in
// fwpuclnt.dll) would permit or block a described connection, arbitrated as WFP does it. It sees
// the flow as the ALE layers do: its local address and interface index from the machine's live
// interfaces, its application id made exactly as FwpmGetAppIdFromFileName0 makes it.
//
//   wfp-decide --direction out|in --protocol tcp|udp|icmpv6|<number> --interface <name|index>
//              --remote <address> [--remote-port N] [--local-port N] [--icmp-type N]
//              [--icmp-code N] [--local <address>] --app <Windows path>
//
// Prints "permit|block<TAB>deciding filter's key or -<TAB>its name or 'no filter matched'";
// exits 0 (permit), 1 (block) or 2 (a usage error, or an object in the state the engine does
// not model, named on standard error).

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/app_id.h"
#include "common/sim.h"
#include "common/wfp_model.h"

using namespace winsim;
using namespace winsim::wfp;

namespace {

constexpr uint32_t kLoopbackFlag = 0x1;  // FWP_CONDITION_FLAG_IS_LOOPBACK

const char* const kUsage =
    "usage: wfp-decide --direction out|in --protocol tcp|udp|icmpv6|<number> --interface <name|index>\n"
    "                  --remote <address> [--remote-port N] [--local-port N] [--icmp-type N] [--icmp-code N]\n"
    "                  [--local <address>] --app <Windows path>\n";

int usage(const std::string& problem) {
    err("wfp-decide: " + problem + "\n" + kUsage);
    return 2;
}

std::optional<unsigned long> number(const std::string& text, unsigned long max) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    unsigned long n = std::stoul(text);
    if (n > max) return std::nullopt;
    return n;
}

struct Address {
    bool v6 = false;
    uint32_t v4 = 0;
    V6Address v6_bytes{};
};

std::optional<Address> address(const std::string& text) {
    Address a;
    bool ok = false;
    a.v4 = parse_ipv4(text, &ok);
    if (ok) return a;
    auto v6 = parse_ipv6(text);
    if (!v6) return std::nullopt;
    a.v6 = true;
    a.v6_bytes = *v6;
    return a;
}

bool loopback(const Address& a) {
    V6Address one{};
    one[15] = 1;
    return a.v6 ? a.v6_bytes == one : (a.v4 >> 24) == 127;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = begin("wfp-decide", argc, argv);
    std::map<std::string, std::string> options;
    const std::vector<std::string> known = {"--direction", "--protocol", "--interface", "--remote",   "--remote-port",
                                            "--local-port", "--icmp-type", "--icmp-code", "--local", "--app"};
    for (size_t i = 0; i < args.size(); i += 2) {
        if (std::find(known.begin(), known.end(), args[i]) == known.end()) return usage("unknown option " + args[i]);
        if (i + 1 >= args.size()) return usage(args[i] + " needs a value");
        if (!options.emplace(args[i], args[i + 1]).second) return usage(args[i] + " is given twice");
    }
    for (const char* required : {"--direction", "--protocol", "--interface", "--remote", "--app"}) {
        if (!options.count(required)) return usage(std::string(required) + " is required");
    }

    std::string direction = options["--direction"];
    if (direction != "out" && direction != "in") return usage("--direction is out or in");
    auto remote = address(options["--remote"]);
    if (!remote) return usage("--remote is not an IPv4 or IPv6 address: " + options["--remote"]);
    Flow flow;
    flow.layer = direction == "out" ? (remote->v6 ? Layer::ConnectV6 : Layer::ConnectV4)
                                    : (remote->v6 ? Layer::AcceptV6 : Layer::AcceptV4);

    const std::map<std::string, uint8_t> protocols = {{"tcp", 6}, {"udp", 17}, {"icmpv6", 58}};
    std::string protocol = lower(options["--protocol"]);
    if (protocols.count(protocol)) {
        flow.protocol = protocols.at(protocol);
    } else if (auto n = number(protocol, 255)) {
        flow.protocol = static_cast<uint8_t>(*n);
    } else {
        return usage("--protocol is tcp, udp, icmpv6 or a number up to 255");
    }

    // ICMP carries its type and code where the ports would be.
    bool icmp = flow.protocol == 1 || flow.protocol == 58;
    for (const char* option : {"--remote-port", "--local-port", "--icmp-type", "--icmp-code"}) {
        if (!options.count(option)) continue;
        bool icmp_option = std::string(option).rfind("--icmp", 0) == 0;
        if (icmp_option != icmp) return usage(std::string(option) + (icmp ? " is not for ICMP" : " is for ICMP only"));
        auto n = number(options[option], icmp_option ? 255 : 65535);
        if (!n) return usage(std::string(option) + " is not a number in range");
    }
    auto value_of = [&](const char* option, uint16_t fallback) {
        return options.count(option) ? static_cast<uint16_t>(std::stoul(options[option])) : fallback;
    };
    flow.local_port = icmp ? value_of("--icmp-type", 0) : value_of("--local-port", 50000);
    flow.remote_port = icmp ? value_of("--icmp-code", 0) : value_of("--remote-port", 0);

    std::optional<nlohmann::json> interface;
    std::string wanted = options["--interface"];
    for (const auto& candidate : live_interfaces()) {
        bool by_index = number(wanted, 0xFFFFFFFF) && candidate.value("index", 0u) == std::stoul(wanted);
        if (by_index || iequals(candidate.value("name", ""), wanted)) interface = candidate;
    }
    if (!interface) return usage("no live interface " + wanted);
    flow.interface_index = interface->value("index", 0u);
    auto interface_address = address(interface->value("address", ""));

    Address local;
    local.v6 = remote->v6;
    if (options.count("--local")) {
        auto given = address(options["--local"]);
        if (!given || given->v6 != remote->v6) return usage("--local is not an address of the remote's family");
        local = *given;
    } else if (!remote->v6) {
        if (!interface_address || interface_address->v6) return usage("interface " + wanted + " has no IPv4 address");
        local = *interface_address;
    }
    flow.local_v4 = local.v4;
    flow.local_v6 = local.v6_bytes;
    flow.remote_v4 = remote->v4;
    flow.remote_v6 = remote->v6_bytes;
    if (loopback(*remote) || (interface_address && loopback(*interface_address))) flow.flags |= kLoopbackFlag;

    std::wstring app = app_id_path(widen(options["--app"]));
    if (app.empty()) return usage("--app is not a path on a drive letter: " + options["--app"]);
    flow.app = narrow(app);

    Decision d = decide(load_engine(), flow);
    if (!d.error.empty()) {
        err("wfp-decide: the engine's state holds what it does not model: " + d.error + "\n");
        return 2;
    }
    out(std::string(d.permit ? "permit" : "block") + "\t" + (d.key.empty() ? "-" : d.key) + "\t" +
        (d.key.empty() ? "no filter matched" : d.name) + "\n");
    return d.permit ? 0 : 1;
}
