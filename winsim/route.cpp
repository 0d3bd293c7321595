// route: print, add and delete over the simulated machine's IPv4 routing table, printed in
// the layout Windows uses. Routes through an interface that has gone are gone with it.

#include <algorithm>
#include <cstdio>

#include "common/sim.h"

using namespace winsim;
using nlohmann::json;

namespace {

std::string pad_left(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

const char* kRule = "===========================================================================\n";

uint32_t ip(const std::string& text) {
    bool ok;
    return parse_ipv4(text, &ok);
}

// Routes whose interface address belongs to a live interface.
json live_routes(const json& interfaces) {
    json routes = load_state("routes.json", json::array());
    json live = json::array();
    for (const auto& r : routes) {
        for (const auto& i : interfaces) {
            if (i.value("address", "") == r.value("interface", "")) {
                live.push_back(r);
                break;
            }
        }
    }
    if (live.size() != routes.size()) save_state("routes.json", live);
    return live;
}

std::string interface_line(const json& i) {
    char index[16];
    std::snprintf(index, sizeof index, "%3d", i.value("index", 0));
    std::string mac = i.value("mac", "");
    std::string middle = mac.empty() ? std::string(27, '.') : "..." + mac + " ......";
    return std::string(index) + middle + i.value("description", "") + "\n";
}

int print(const std::vector<std::string>& args) {
    json interfaces = live_interfaces();
    json routes = live_routes(interfaces);
    std::sort(routes.begin(), routes.end(), [](const json& a, const json& b) {
        auto key = [](const json& r) {
            return std::make_tuple(ip(r.value("destination", "")), ip(r.value("netmask", "")),
                                   ip(r.value("interface", "")), r.value("metric", 0));
        };
        return key(a) < key(b);
    });
    std::string text = kRule;
    text += "Interface List\n";
    std::vector<json> sorted(interfaces.begin(), interfaces.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const json& a, const json& b) {
        return a.value("index", 0) > b.value("index", 0);
    });
    for (const auto& i : sorted) text += interface_line(i);
    text += kRule;
    text += "\nIPv4 Route Table\n";
    text += kRule;
    text += "Active Routes:\n";
    std::string rows;
    for (const auto& r : routes) {
        if (args.size() > 1 && r.value("destination", "") != args[1]) continue;
        // Windows prints "On-link" one column to the left of where an address would stand.
        bool on_link = r.value("gateway", "") == "On-link";
        rows += pad_left(r.value("destination", ""), 17) + pad_left(r.value("netmask", ""), 17) +
                pad_left(r.value("gateway", ""), on_link ? 16 : 17) +
                pad_left(r.value("interface", ""), on_link ? 18 : 17) +
                pad_left(std::to_string(r.value("metric", 0)), 7) + "\n";
    }
    if (rows.empty()) {
        text += "  None\n";
    } else {
        text += "Network Destination        Netmask          Gateway       Interface  Metric\n";
        text += rows;
        text += kRule;
    }
    text += "Persistent Routes:\n  None\n\nIPv6 Route Table\n";
    text += kRule;
    text += "Active Routes:\n  None\nPersistent Routes:\n  None\n";
    out(text);
    return 0;
}

int add(const std::vector<std::string>& args) {
    // add DEST mask MASK GATEWAY [metric N] [if INDEX]
    if (args.size() < 5 || !iequals(args[2], "mask")) {
        out("The route addition failed: The parameter is incorrect.\n");
        return 1;
    }
    bool ok_dest, ok_mask, ok_gw;
    parse_ipv4(args[1], &ok_dest);
    parse_ipv4(args[3], &ok_mask);
    uint32_t gateway = parse_ipv4(args[4], &ok_gw);
    if (!ok_dest || !ok_mask || !ok_gw) {
        out("The route addition failed: The parameter is incorrect.\n");
        return 1;
    }
    int metric = 1;
    int index = -1;
    for (size_t i = 5; i + 1 < args.size(); i += 2) {
        if (iequals(args[i], "metric")) metric = std::atoi(args[i + 1].c_str());
        if (iequals(args[i], "if")) index = std::atoi(args[i + 1].c_str());
    }
    json interfaces = live_interfaces();
    std::string via;
    for (const auto& i : interfaces) {
        bool ok_a, ok_m;
        uint32_t address = parse_ipv4(i.value("address", ""), &ok_a);
        uint32_t mask = parse_ipv4(i.value("mask", ""), &ok_m);
        if (!ok_a || !ok_m) continue;
        bool chosen = index >= 0 ? i.value("index", 0) == index
                                 : (address & mask) == (gateway & mask);
        if (chosen) {
            via = i.value("address", "");
            break;
        }
    }
    if (via.empty()) {
        out("The route addition failed: Either the interface index is wrong or the gateway does not lie on the same network as the interface. Check the IP Address Table for the machine.\n");
        return 1;
    }
    json routes = live_routes(interfaces);
    for (const auto& r : routes) {
        if (r.value("destination", "") == args[1] && r.value("netmask", "") == args[3] &&
            r.value("gateway", "") == args[4]) {
            out("The route addition failed: The object already exists.\n");
            return 1;
        }
    }
    routes.push_back({{"destination", args[1]}, {"netmask", args[3]}, {"gateway", args[4]},
                      {"interface", via}, {"metric", metric}});
    save_state("routes.json", routes);
    out(" OK!\n");
    return 0;
}

int remove(const std::vector<std::string>& args) {
    // delete DEST [mask MASK] [GATEWAY]
    if (args.size() < 2) {
        out("The route deletion failed: The parameter is incorrect.\n");
        return 1;
    }
    std::string mask = args.size() >= 4 && iequals(args[2], "mask") ? args[3] : "";
    std::string gateway = args.size() >= 5 ? args[4] : "";
    json routes = live_routes(live_interfaces());
    json kept = json::array();
    for (const auto& r : routes) {
        bool match = r.value("destination", "") == args[1] &&
                     (mask.empty() || r.value("netmask", "") == mask) &&
                     (gateway.empty() || r.value("gateway", "") == gateway);
        if (!match) kept.push_back(r);
    }
    if (kept.size() == routes.size()) {
        out("The route deletion failed: Element not found.\n\n");
        return 1;
    }
    save_state("routes.json", kept);
    out(" OK!\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = begin("route", argc, argv);
    if (fault("routeFails").is_string() && !args.empty() && iequals(args[0], fault("routeFails").get<std::string>())) {
        out("The route " + lower(args[0]) + " failed: Access is denied.\n");
        return 1;
    }
    if (!args.empty() && iequals(args[0], "print")) return print(args);
    if (!args.empty() && iequals(args[0], "add")) return add(args);
    if (!args.empty() && iequals(args[0], "delete")) return remove(args);
    out("Manipulates network routing tables.\n\nROUTE [-f] [-p] [-4|-6] command [destination]\n");
    return 1;
}
