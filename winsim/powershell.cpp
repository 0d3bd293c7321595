// powershell stand-in: answers exactly the scripts the system sends and fails on anything else.
// The default-route query is answered from the simulated routing table (fault switch
// "defaultRouteAnswer" replaces the answer text).

#include <tuple>

#include "common/sim.h"

using namespace winsim;
using nlohmann::json;

namespace {

const std::string kDefaultRouteScript =
    "Get-NetRoute -AddressFamily IPv4 -DestinationPrefix '0.0.0.0/0' | Where-Object { $_.NextHop -and "
    "$_.NextHop -ne '0.0.0.0' } | Sort-Object RouteMetric,InterfaceMetric | Select-Object -First 1 "
    "-Property NextHop,ifIndex | ConvertTo-Json -Compress";

int default_route() {
    json answer = fault("defaultRouteAnswer");
    if (answer.is_string()) {
        out(answer.get<std::string>() + "\n");
        return 0;
    }
    json interfaces = live_interfaces();
    std::tuple<int, std::string, int> best{1 << 30, "", -1};
    for (const auto& r : load_state("routes.json", json::array())) {
        if (r.value("destination", "") != "0.0.0.0" || r.value("netmask", "") != "0.0.0.0") continue;
        std::string hop = r.value("gateway", "");
        if (hop.empty() || hop == "0.0.0.0" || hop == "On-link") continue;
        for (const auto& i : interfaces) {
            if (i.value("address", "") == r.value("interface", "") && r.value("metric", 0) < std::get<0>(best)) {
                best = {r.value("metric", 0), hop, i.value("index", 0)};
            }
        }
    }
    if (std::get<2>(best) >= 0) {
        out(json{{"NextHop", std::get<1>(best)}, {"ifIndex", std::get<2>(best)}}.dump() + "\n");
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = begin("powershell", argc, argv);
    if (args.size() == 5 && args[0] == "-NoProfile" && args[1] == "-ExecutionPolicy" && args[2] == "Bypass" &&
        args[3] == "-Command" && args[4] == kDefaultRouteScript) {
        return default_route();
    }
    err("The simulated machine's PowerShell does not know this command.\n");
    return 1;
}
