#pragma once
// Asks the simulated filtering engine what it would do with a flow, and what of the product's
// reserved WFP family the machine holds.

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "wine_machine.h"

namespace vorn::wine {

struct Flow {
    std::string what;
    std::vector<std::string> args;  // wfp-decide's description of the flow
    bool permitted;
};

// wfp-decide's answer: its line, and whether it permitted the flow.
inline std::pair<std::string, bool> decide(WineMachine& m, const std::vector<std::string>& flow) {
    std::vector<std::string> argv = {windows_path(m.machine() / "wfp-decide.exe")};
    argv.insert(argv.end(), flow.begin(), flow.end());
    RunResult r = m.run(argv);
    EXPECT_TRUE(r.rc == 0 || r.rc == 1) << r.out << r.err;
    std::string line = r.out.substr(0, r.out.find_first_of("\r\n"));
    return {line, r.rc == 0};
}

// Checks every flow and returns the table as the tool printed it, one "what: answer" line each.
inline std::string check_flows(WineMachine& m, const std::vector<Flow>& flows) {
    std::string table;
    for (const Flow& f : flows) {
        auto [line, permitted] = decide(m, f.args);
        EXPECT_EQ(permitted, f.permitted) << f.what << ": " << line;
        table += f.what + ": " + line + "\n";
    }
    return table;
}

inline nlohmann::json wfp_state(const WineMachine& m) {
    return nlohmann::json::parse(read_text(m.state() / "wfp.json"), nullptr, false);
}

// The flows a full tunnel's firewall must block and permit, on the machine's physical interface
// "Ethernet" and the live tunnel adapter, with the server at 203.0.113.7:443 and the control
// plane at 198.51.100.20.
inline std::vector<Flow> full_tunnel_flows(WineMachine& m, const std::string& transport) {
    const std::string browser = "C:\\Program Files\\Browser\\browser.exe";
    const std::string system = "C:\\windows\\system32\\svchost.exe";
    const std::string xray = windows_path(m.machine() / "xray.exe");
    nlohmann::json tunnels = m.state_json("tunnel-interfaces.json");
    const std::string adapter = tunnels.empty() ? "none" : std::to_string(tunnels.back().value("index", 0));
    auto out = [](const std::string& protocol, const std::string& interface, const std::string& remote,
                  const std::string& port, const std::string& app) {
        return std::vector<std::string>{"--direction", "out", "--protocol", protocol, "--interface", interface,
                                        "--remote", remote, "--remote-port", port, "--app", app};
    };
    std::vector<Flow> flows = {
        {"system DNS to the router over UDP", out("udp", "Ethernet", "192.168.1.1", "53", system), false},
        {"system DNS to the router over TCP", out("tcp", "Ethernet", "192.168.1.1", "53", system), false},
        {"browser to an IPv6 site", out("tcp", "Ethernet", "2606:4700::1111", "443", browser), false},
        {"browser on the physical interface", out("tcp", "Ethernet", "93.184.216.34", "443", browser), false},
        {"another application's DNS to 8.8.8.8", out("udp", "Ethernet", "8.8.8.8", "53", browser), false},
        {"browser on the tunnel adapter", out("tcp", adapter, "93.184.216.34", "443", browser), true},
        {"Xray to the server", out("tcp", "Ethernet", "203.0.113.7", "443", xray), true},
        {"an application to the control plane", out("tcp", "Ethernet", "198.51.100.20", "443", browser), true},
        {"DHCP to the broadcast address",
         {"--direction", "out", "--protocol", "udp", "--interface", "Ethernet", "--remote", "255.255.255.255",
          "--remote-port", "67", "--local-port", "68", "--app", system},
         true},
        {"loopback", out("tcp", "Loopback Pseudo-Interface 1", "127.0.0.1", "18089", browser), true},
        {"file sharing on the local network", out("tcp", "Ethernet", "192.168.1.50", "445", system), true},
        {"IPv6 neighbour discovery",
         {"--direction", "out", "--protocol", "icmpv6", "--interface", "Ethernet", "--remote", "fe80::1",
          "--icmp-type", "135", "--app", system},
         true},
    };
    if (transport != "xray") {
        const std::string backend = windows_path(m.machine() / (transport == "tuic" ? "tuic.exe" : "hysteria.exe"));
        flows.push_back({"the backend to the server", out("udp", "Ethernet", "203.0.113.7", "443", backend), true});
    }
    return flows;
}

// The keys of the product's family (providers, sublayer, filters) the filtering engine holds.
inline std::vector<std::string> family_objects(const WineMachine& m) {
    std::vector<std::string> keys;
    nlohmann::json wfp = wfp_state(m);
    if (!wfp.is_object() || !wfp.contains("objects")) return keys;
    for (const auto& key : wfp["objects"]) {
        std::string k = key.get<std::string>();
        if (k.rfind("{56A51FF", 0) == 0) keys.push_back(k);
    }
    return keys;
}

// The filter in `slot` of the IPv4 family, as the engine keeps it (null when absent).
inline nlohmann::json family_filter(const WineMachine& m, int slot) {
    char key[64];
    std::snprintf(key, sizeof key, "{56A51FF2-6E39-4C1F-8F69-2E1D2CC4%04X}", slot);
    nlohmann::json wfp = wfp_state(m);
    if (!wfp.is_object() || !wfp.contains("filters") || !wfp["filters"].contains(key)) return nullptr;
    return wfp["filters"][key];
}

}  // namespace vorn::wine
