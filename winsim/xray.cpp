// Xray stand-in: xray.exe run -config CONFIG. Reads the document, needs wintun.dll beside it
// for a "tun" inbound and then shows the "Xray Tunnel" interface while it lives, and opens its
// "http" and "socks" inbounds. An outbound "proxy" of protocol "socks" (Hysteria2 or TUIC in
// front) carries every connection through that local port.

#include "common/engine_sim.h"
#include "common/sim.h"

using namespace winsim;
using nlohmann::json;

namespace {

constexpr unsigned long kConfigError = 23;  // what Xray exits with on an unusable configuration

void show_tunnel_interface(const json& tun) {
    json list = load_state("tunnel-interfaces.json", json::array());
    json kept = json::array();
    for (const auto& entry : list) {
        if (process_alive(entry.value("ownerPid", 0u))) kept.push_back(entry);
    }
    // Like Windows, every new adapter gets an interface index of its own: 23, 24, ...
    json last = load_state("tunnel-index.json", 22);
    unsigned index = (last.is_number_unsigned() ? last.get<unsigned>() : 22u) + 1;
    save_state("tunnel-index.json", index);
    kept.push_back({{"ownerPid", GetCurrentProcessId()},
                    {"index", index},
                    {"mac", "00 ff 6d 9c 4a 1b"},
                    {"description", "Xray Tunnel"},
                    {"name", tun["settings"].value("name", "")},
                    {"address", "172.19.0.1"},
                    {"mask", "255.255.255.252"},
                    {"addressSource", "static"},
                    {"dns", ""},
                    {"dnsSource", "dhcp"}});
    save_state("tunnel-interfaces.json", kept);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = begin("xray", argc, argv);
    require_command_line(args.size() == 3 && args[0] == "run" && args[1] == "-config",
                         "usage: xray run -config CONFIG");
    json config = read_config(argv[3], kConfigError, "Failed to start: main: failed to load config files");
    EngineFaults faults = engine_faults("xray");
    exit_now_if_faulted(faults);
    if (!config.contains("inbounds") || !config["inbounds"].is_array() || !config.contains("outbounds") ||
        !config["outbounds"].is_array()) {
        fail_start("Failed to start: main: failed to load config files: inbounds and outbounds are required", kConfigError);
    }
    ProxyOptions options;
    for (const auto& outbound : config["outbounds"]) {
        if (outbound.value("tag", "") == "proxy" && outbound.value("protocol", "") == "socks") {
            options.upstream_socks_port = outbound["settings"]["servers"][0].value("port", 0);
        }
    }
    winsock_start();
    for (const auto& inbound : config["inbounds"]) {
        std::string protocol = inbound.value("protocol", "");
        if (protocol == "tun") {
            // Like Xray, load wintun.dll from our own folder and use its adapter entry points.
            std::wstring wintun = module_directory() + L"\\wintun.dll";
            HMODULE module = LoadLibraryExW(wintun.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
            if (module == nullptr || GetProcAddress(module, "WintunCreateAdapter") == nullptr ||
                GetProcAddress(module, "WintunCloseAdapter") == nullptr) {
                fail_start("Failed to start: app/tun: failed to load wintun.dll: Windows error " +
                               std::to_string(GetLastError()), kConfigError);
            }
            if (!faults.no_adapter) show_tunnel_interface(inbound);
        } else if ((protocol == "http" || protocol == "socks") && !faults.no_listen) {
            listen_or_exit(inbound.value("listen", "") + ":" + std::to_string(inbound.value("port", 0)),
                           protocol == "socks", options, kConfigError);
        }
    }
    out("Xray 1.8.0 (Vorn simulated machine) started\n");
    return run_until_ended(faults);
}
