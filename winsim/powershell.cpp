// powershell stand-in: answers exactly the scripts the system sends and fails on anything else.
// The default-route query is answered from the simulated routing table (fault switch
// "defaultRouteAnswer" replaces the answer text); the process query from the machine's real
// process list (fault switch "processQueryAnswer" replaces the answer text).

#include <iterator>
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

const std::string kProcessQueryScript =
    "Get-CimInstance Win32_Process | Select-Object ProcessId,ExecutablePath | ConvertTo-Json -Compress";

// The full image path of a process, or null where it cannot be read (as for system processes).
nlohmann::ordered_json executable_path(uint32_t pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return nullptr;
    wchar_t path[MAX_PATH * 4];
    DWORD size = static_cast<DWORD>(std::size(path));
    nlohmann::ordered_json result = nullptr;
    if (QueryFullProcessImageNameW(process, 0, path, &size)) result = narrow(std::wstring(path, size));
    CloseHandle(process);
    return result;
}

// As ConvertTo-Json prints Win32_Process rows: one object alone, else an array.
int process_query() {
    json answer = fault("processQueryAnswer");
    if (answer.is_string()) {
        out(answer.get<std::string>() + "\n");
        return 0;
    }
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const ProcessEntry& entry : list_processes()) {
        nlohmann::ordered_json row = nlohmann::ordered_json::object();
        row["ProcessId"] = entry.pid;
        row["ExecutablePath"] = executable_path(entry.pid);
        rows.push_back(row);
    }
    out((rows.size() == 1 ? rows[0] : rows).dump() + "\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = begin("powershell", argc, argv);
    if (args.size() == 5 && args[0] == "-NoProfile" && args[1] == "-ExecutionPolicy" && args[2] == "Bypass" &&
        args[3] == "-Command" && args[4] == kDefaultRouteScript) {
        return default_route();
    }
    if (args.size() == 4 && args[0] == "-NoProfile" && args[1] == "-NonInteractive" && args[2] == "-Command" &&
        args[3] == kProcessQueryScript) {
        return process_query();
    }
    err("The simulated machine's PowerShell does not know this command.\n");
    return 1;
}
