// netsh interface ip set address|dns name=X static ... | dhcp, recorded in the interface's
// settings, and netsh interface ip show config, printed in the layout Windows uses (without the
// metric and WINS lines, which the machine does not keep). Like Windows, an unknown interface
// fails with text on standard output.

#include "common/sim.h"

using namespace winsim;
using nlohmann::json;

namespace {

std::string field(const std::string& label, const std::string& value) {
    std::string line = "    " + label;
    if (line.size() < 42) line.append(42 - line.size(), ' ');
    return line + value + "\n";
}

int prefix_length(uint32_t mask) {
    int n = 0;
    for (; mask & 0x80000000u; mask <<= 1) ++n;
    return n;
}

int show_config() {
    json routes = load_state("routes.json", json::array());
    std::string text;
    for (const auto& i : live_interfaces()) {
        bool dhcp = i.value("addressSource", "") == "dhcp";
        text += "\nConfiguration for interface \"" + i.value("name", "") + "\"\n";
        text += field("DHCP enabled:", dhcp ? "Yes" : "No");
        bool ok_address = false, ok_mask = false;
        uint32_t address = parse_ipv4(i.value("address", ""), &ok_address);
        uint32_t mask = parse_ipv4(i.value("mask", ""), &ok_mask);
        if (ok_address && ok_mask) {
            text += field("IP Address:", i.value("address", ""));
            text += field("Subnet Prefix:", format_ipv4(address & mask) + "/" + std::to_string(prefix_length(mask)) +
                                                " (mask " + i.value("mask", "") + ")");
        }
        for (const auto& r : routes) {
            if (r.value("destination", "") == "0.0.0.0" && r.value("netmask", "") == "0.0.0.0" &&
                r.value("interface", "") == i.value("address", "")) {
                text += field("Default Gateway:", r.value("gateway", ""));
            }
        }
        std::string dns = i.value("dns", "");
        text += field(i.value("dnsSource", "") == "dhcp" ? "DNS servers configured through DHCP:"
                                                         : "Statically Configured DNS Servers:",
                      dns.empty() ? "None" : dns);
    }
    out(text + "\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = begin("netsh", argc, argv);
    if (fault("netshFails").is_string()) {
        out(fault("netshFails").get<std::string>() + "\n");
        return 1;
    }
    if (args.size() == 4 && iequals(args[0], "interface") && iequals(args[1], "ip") && iequals(args[2], "show") &&
        iequals(args[3], "config")) {
        return show_config();
    }
    if (args.size() < 6 || !iequals(args[0], "interface") || !iequals(args[1], "ip") ||
        !iequals(args[2], "set") || lower(args[4]).rfind("name=", 0) != 0) {
        out("The following command was not found: " + (args.empty() ? std::string() : args[0]) + ".\n");
        return 1;
    }
    std::string what = lower(args[3]);
    std::string name = args[4].substr(5);
    std::string mode = lower(args[5]);
    json settings;
    if (what == "address" && mode == "static" && args.size() >= 8) {
        settings = {{"address", args[6]}, {"mask", args[7]}, {"addressSource", "static"}};
    } else if (what == "address" && mode == "dhcp") {
        settings = {{"addressSource", "dhcp"}};
    } else if (what == "dns" && mode == "static" && args.size() >= 7) {
        settings = {{"dns", args[6]}, {"dnsSource", "static"}};
    } else if (what == "dns" && mode == "dhcp") {
        settings = {{"dnsSource", "dhcp"}};
    } else {
        out("The syntax supplied for this command is not valid. Check help for the correct syntax.\n");
        return 1;
    }
    if (!update_interface(name, settings)) {
        out("The filename, directory name, or volume label syntax is incorrect.\n\n");
        return 1;
    }
    out("\n");
    return 0;
}
