#pragma once
// A machine on which a connect can succeed through the fakes, shared by the unit tests and the
// fuzz targets that connect.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/files.h"
#include "common/operator_settings.h"
#include "fakes.h"

namespace vorn::testing {

// The captured outputs a connect asks for again and again, read once.
inline const std::string& machine_output(const std::string& name) {
    static std::map<std::string, std::string> read;
    auto it = read.find(name);
    if (it == read.end()) it = read.emplace(name, fixture(name)).first;
    return it->second;
}

// The tools of a machine on which a full connect can succeed: a default route, the adapter
// listed once Xray runs, routes that show, probes that pass. Switches make single steps fail.
struct ConnectMachine {
    bool conflicting_vpn = false;
    bool adapter = true;
    bool routes_show = true;
    bool curl_fails = false;
    std::vector<uint32_t> running;  // process ids tasklist reports

    Result<ToolRun> operator()(const ToolCall& call) const {
        const std::string& p = call.program;
        if (p == "tasklist") {
            if (call.args.at(0) == "/FO") {
                return ToolRun{0, conflicting_vpn ? "\"openvpn.exe\",\"7\"\r\n" : machine_output("tasklist-csv.txt"), ""};
            }
            for (uint32_t pid : running) {
                if (call.args.at(1) == "PID eq " + std::to_string(pid)) {
                    return ToolRun{0, "\"x.exe\",\"" + std::to_string(pid) + "\"\r\n", ""};
                }
            }
            return ToolRun{0, machine_output("tasklist-none.txt"), ""};
        }
        if (p == "powershell") return ToolRun{0, R"({"NextHop":"192.168.1.1","ifIndex":12})", ""};
        if (p == "curl.exe") return ToolRun{curl_fails ? 28u : 0u, "", curl_fails ? "curl: (28) timed out" : ""};
        if (p == "route" && call.args.at(0) == "print") {
            if (call.args.size() == 1) return ToolRun{0, machine_output(adapter ? "route-print.txt" : "route-print-idle.txt"), ""};
            if (call.args[1] == "128.0.0.0") {
                return ToolRun{0, machine_output(routes_show ? "route-print-128.txt" : "route-print-128-none.txt"), ""};
            }
            return ToolRun{0, machine_output(routes_show ? "route-print.txt" : "route-print-idle.txt"), ""};
        }
        return quietly(call, {"net session", "route add ", "netsh interface ip set "});
    }
};

// The platform with the engines and Wintun beside the service, the control plane resolving and
// the machine's tools; `ready` says whether the engines could be laid out.
struct ConnectSetup {
    ConnectSetup() {
        std::filesystem::create_directories(install.path());
        for (const char* exe : {"xray.exe", "hysteria.exe", "tuic.exe", "wintun.dll"}) {
            if (ready) ready = write_file((install.path() / exe).string(), "x");
        }
        f.env.exe = (install.path() / "svc.exe").string();
        f.files.allow(install.str());
        f.env.app_data = (install.path() / "local").string();
        f.net.dns[std::string(kControlPlaneHost)] = "198.51.100.20";
        f.tools.handler = machine;
        f.nothing_installed();
        f.net.accept_from = 1;
        f.dlls.load_error = 0;
        f.processes.launches = 2;  // a backend and Xray
    }
    static std::string request_text(const std::string& mode, const std::string& transport,
                                    const std::string& host = "\"203.0.113.7\"") {
        return R"({"tunnelMode":")" + mode + R"(","transport":")" + transport + R"(","config":{"server":{"host":)" +
               host + R"(}},"splitTunnelPolicy":{}})";
    }
    void set_machine(ConnectMachine m) {
        machine = m;
        f.tools.handler = machine;
    }
    size_t count(const std::string& text) const {
        size_t n = 0;
        for (const auto& call : f.tools.call_texts()) n += call.rfind(text, 0) == 0;
        return n;
    }

    TempDir install;
    FakePlatform f;
    ConnectMachine machine;
    Status ready;
};

}  // namespace vorn::testing
