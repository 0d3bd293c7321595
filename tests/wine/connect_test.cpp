// Connect and disconnect end to end: the real executable on the simulated machine.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "firewall_flows.h"
#include "service_case.h"
#include "wine_machine.h"

namespace vorn::wine {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The live routes as the route stand-in prints them, without the header lines.
std::vector<std::string> route_rows(WineMachine& m) {
    RunResult r = m.run({m.system_tool("route.exe"), "print"});
    std::vector<std::string> rows;
    bool active = false;
    for (const auto& line : lines_of(r.out)) {
        if (line.rfind("Network Destination", 0) == 0) active = true;
        else if (line.rfind("=====", 0) == 0) active = false;
        else if (active) rows.push_back(line);
    }
    return rows;
}

bool contains_row(const std::vector<std::string>& rows, const std::string& destination, const std::string& gateway) {
    for (const auto& row : rows) {
        std::istringstream fields(row);
        std::string d, mask, g;
        fields >> d >> mask >> g;
        if (d == destination && g == gateway) return true;
    }
    return false;
}

TEST(Connect, FullTunnelOverEachTransportAndBackToIdle) {
    for (std::string transport : {"xray", "hysteria2", "tuic"}) {
        SCOPED_TRACE(transport);
        WineMachine m(case_name());
        auto before = route_rows(m);
        std::string request = write_request(m, transport, "203-0-113-7.sslip.io");
        RunResult up = m.service({"connect", "--request", request});
        ASSERT_EQ(up.rc, 0) << up.out << up.err;
        EXPECT_EQ(up.out, compact("connected", "Vorn product tunnel started in full mode over " + transport) + "\n");
        EXPECT_EQ(read_text(m.runtime() / "product-tunnel-reconnect-request-path.txt"), request);

        RunResult status = m.service({"status"});
        EXPECT_EQ(status.out, up.out) << "exit " << status.rc << ": " << status.err;
        auto rows = route_rows(m);
        for (const char* host : {"203.0.113.7", "198.51.100.20", "1.1.1.1", "8.8.8.8"}) {
            EXPECT_TRUE(contains_row(rows, host, "192.168.1.1")) << host;
        }
        EXPECT_TRUE(tunnel_routes_up(m));
        json tunnel = m.state_json("tunnel-interfaces.json").back();
        EXPECT_EQ(tunnel["address"], "172.19.0.1");
        EXPECT_EQ(tunnel["dns"], "1.1.1.1");
        EXPECT_TRUE(port_open(18089));
        if (transport != "xray") { EXPECT_TRUE(port_open(transport == "tuic" ? 18108 : 18109)); }
        // The command line has exited; its firewall stays and decides.
        EXPECT_EQ(family_objects(m).size(), 32u);  // provider, sublayer, 30 filters
        std::cout << "full tunnel over " << transport << ", as wfp-decide answers:\n"
                  << check_flows(m, full_tunnel_flows(m, transport));

        RunResult down = m.service({"disconnect"});
        EXPECT_EQ(down.rc, 0) << down.err;
        EXPECT_EQ(down.out, compact("idle", "Vorn product tunnel disconnected") + "\n");
        for (const char* gone : {"product-xray.pid", "product-hysteria.pid", "product-tuic.pid",
                                 "product-route-exceptions.json", "product-tunnel-reconnect-request-path.txt"}) {
            EXPECT_FALSE(fs::exists(m.runtime() / gone)) << gone;
        }
        EXPECT_FALSE(port_open(18089));
        EXPECT_FALSE(port_open(18108));
        EXPECT_FALSE(port_open(18109));
        EXPECT_EQ(route_rows(m), before);
        EXPECT_EQ(family_objects(m), std::vector<std::string>{});
        EXPECT_EQ(m.service({"status"}).out, compact("idle", "Vorn product tunnel disconnected") + "\n");
    }
}


// Nothing planted beside the executable stands in for the system: the tools run from the system
// folder, and the DLLs that are not KnownDLLs (the filtering engine, the IP helper, the random
// source) load from there too.
TEST(Connect, NothingBesideTheExecutableStandsInForTheSystem) {
    WineMachine m(case_name());
    fs::copy_file(m.system_directory() / "route.exe", m.machine() / "route.exe");
    // Were one of these used, the first call into it would end the program: they have none of
    // the functions.
    for (const char* dll : {"fwpuclnt.dll", "iphlpapi.dll", "bcrypt.dll"}) {
        fs::copy_file(fs::path(VORN_WINDOWS_BIN_DIR) / "wintun.dll", m.machine() / dll);
    }
    RunResult up = m.service({"connect", "--request", write_request(m, "xray")});
    EXPECT_EQ(up.out, compact("connected", "Vorn product tunnel started in full mode over xray") + "\n") << up.err;
    EXPECT_EQ(family_objects(m).size(), 32u);
    RunResult down = m.service({"disconnect"});
    EXPECT_EQ(down.out, compact("idle", "Vorn product tunnel disconnected") + "\n") << down.err;

    // Each route stand-in notes where it ran from.
    auto calls = m.calls();
    auto started = lines_of(read_text(m.state() / "started.log"));
    auto route_calls = std::count_if(calls.begin(), calls.end(), [](const std::string& c) { return c.rfind("route ", 0) == 0; });
    EXPECT_GT(route_calls, 0);
    EXPECT_EQ(std::count(started.begin(), started.end(), "C:\\windows\\system32\\route.exe"), route_calls);
    EXPECT_EQ(std::count(started.begin(), started.end(), windows_path(m.machine() / "route.exe")), 0);
}
TEST(Connect, XrayExitingDuringStartup) {
    WineMachine m(case_name());
    m.set_fault("xray", {{"exitCode", 23}, {"stderr", "Failed to start: main: failed to read config: test"}});
    RunResult r = m.service({"connect", "--request", write_request(m, "hysteria2")});
    EXPECT_EQ(r.rc, 1);
    std::string message =
        "Xray TUN engine exited during startup: exit code: 23: Failed to start: main: failed to read config: test";
    EXPECT_EQ(r.err, message + "\n");
    EXPECT_EQ(r.out, compact("error", message) + "\n");
    EXPECT_FALSE(port_open(18109));  // the backend was stopped with it
    EXPECT_FALSE(fs::exists(m.runtime() / "product-hysteria.pid"));
}

TEST(Connect, ProbeTimeOutStopsEnginesAndRestoresTheNetwork) {
    WineMachine m(case_name());
    m.set_fault("curlTimeout", "www.youtube.com");
    auto before = route_rows(m);
    RunResult r = m.service({"connect", "--request", write_request(m, "xray")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err.rfind("XRAY_PROXY_PROBE_FAILED: full tunnel HTTPS probe failed: youtube: curl: (28) Operation "
                          "timed out after 12001 milliseconds with 0 bytes received\nXray local proxy accepted",
                          0),
              0u)
        << r.err;
    json recorded = json::parse(read_text(m.runtime() / "product-tunnel-status.json"));
    EXPECT_EQ(recorded["status"], "error");
    EXPECT_EQ(recorded["message"].get<std::string>() + "\n", r.err);
    EXPECT_FALSE(port_open(18089));
    EXPECT_FALSE(fs::exists(m.runtime() / "product-route-exceptions.json"));
    EXPECT_FALSE(fs::exists(m.runtime() / "product-tunnel-reconnect-request-path.txt"));
    EXPECT_EQ(route_rows(m), before);
    // The firewall was up before the probes, and went with the failed connect.
    EXPECT_NE(read_text(m.state() / "wfp.log").find("add-filter {56A51FF2-6E39-4C1F-8F69-2E1D2CC40000} 0x00000000"),
              std::string::npos);
    EXPECT_EQ(family_objects(m), std::vector<std::string>{});
}

TEST(Connect, RefusedBesideAnotherVpnClient) {
    WineMachine m(case_name());
    m.start_idle("WireGuard.exe");
    RunResult r = m.service({"connect", "--request", write_request(m, "xray")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "CONFLICTING_VPN_ACTIVE: close other VPN clients before starting Vorn VPN: WireGuard.exe\n");
    EXPECT_FALSE(port_open(18089));
}

// OpenVPN's default routes are the same half-default pair as the tunnel's: only their gateway
// tells them apart, and nothing of ours may delete them.
TEST(Connect, AnotherVpnsHalfDefaultRoutesStay) {
    ServiceCase s;
    WineMachine& m = s.m;
    json interfaces = m.state_json("interfaces.json");
    interfaces.push_back({{"index", 31}, {"mac", "00 ff 1a 2b 3c 4d"}, {"description", "TAP-Windows Adapter V9"},
                          {"name", "OpenVPN TAP"}, {"address", "10.8.0.2"}, {"mask", "255.255.255.0"},
                          {"addressSource", "static"}, {"dns", ""}, {"dnsSource", "dhcp"}});
    m.set_state_json("interfaces.json", interfaces);
    json routes = m.state_json("routes.json");
    for (const char* destination : {"0.0.0.0", "128.0.0.0"}) {
        routes.push_back({{"destination", destination}, {"netmask", "128.0.0.0"}, {"gateway", "10.8.0.1"},
                          {"interface", "10.8.0.2"}, {"metric", 1}});
    }
    m.set_state_json("routes.json", routes);
    m.start_idle("openvpn.exe");
    auto openvpn_routes = [&] {
        auto rows = route_rows(m);
        return contains_row(rows, "0.0.0.0", "10.8.0.1") && contains_row(rows, "128.0.0.0", "10.8.0.1");
    };
    ASSERT_TRUE(openvpn_routes());

    EXPECT_EQ(s.ask(s.connect_request(write_request(m, "xray"))),
              compact("error", "CONFLICTING_VPN_ACTIVE: close other VPN clients before starting Vorn VPN: openvpn.exe"));
    EXPECT_TRUE(openvpn_routes()) << "after the refused connect";
    EXPECT_EQ(s.ask(R"({"command":"status"})").rfind(R"({"status":"error")", 0), 0u);
    EXPECT_TRUE(openvpn_routes()) << "after a status";
    EXPECT_EQ(m.service({"disconnect"}).rc, 0);
    EXPECT_TRUE(openvpn_routes()) << "after a disconnect";
}

// Whether a process of that image runs in the prefix.
bool image_running(WineMachine& m, const std::string& image) {
    RunResult list = m.run({m.system_tool("tasklist.exe"), "/FO", "CSV", "/NH"});
    return list.out.find("\"" + image + "\"") != std::string::npos;
}

TEST(Connect, BackendThatNeverOpensItsPort) {
    WineMachine m(case_name());
    m.set_fault("tuic", {{"noListen", true}});
    RunResult r = m.service({"connect", "--request", write_request(m, "tuic")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "TUIC engine did not open local SOCKS port 127.0.0.1:18108\n");
    // The failed connect ended the backend it started.
    EXPECT_FALSE(image_running(m, "tuic.exe"));
    EXPECT_FALSE(fs::exists(m.runtime() / "product-tuic.pid"));
    RunResult status = m.service({"status"});
    EXPECT_EQ(status.out.find("\"connected\""), std::string::npos) << status.out;
}

TEST(Connect, XrayWhoseAdapterNeverAppearsIsEnded) {
    WineMachine m(case_name());
    m.set_fault("xray", {{"noAdapter", true}});
    RunResult r = m.service({"connect", "--request", write_request(m, "hysteria2")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "Xray TUN adapter did not become ready\n");
    // Xray had no pid file yet: it was ended through its handle, and its backend with it.
    EXPECT_FALSE(image_running(m, "xray.exe"));
    EXPECT_FALSE(image_running(m, "hysteria.exe"));
    EXPECT_FALSE(port_open(18089));
    EXPECT_FALSE(port_open(18109));
    EXPECT_FALSE(fs::exists(m.runtime() / "product-xray.pid"));
}

TEST(Disconnect, UnreadablePidFileIsAnErrorRecordAndExitZero) {
    WineMachine m(case_name());
    write_text(m.runtime() / "product-xray.pid", "abc");
    RunResult r = m.service({"disconnect"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, compact("error", "could not parse product Xray pid: invalid digit found in string") + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::exists(m.runtime() / "product-xray.pid"));
}

TEST(Disconnect, OnlyAProcessOlderThanItsPidFileIsEnded) {
    WineMachine m(case_name());
    uint32_t engine = m.start_idle("engine.exe");
    uint32_t stranger = m.start_idle("editor.exe");
    write_text(m.runtime() / "product-xray.pid", std::to_string(engine));
    // The stranger holds the id a pid file names, but that file was written before it started:
    // the id was reused.
    fs::path tuic = m.runtime() / "product-tuic.pid";
    write_text(tuic, std::to_string(stranger));
    utimbuf long_ago{1000000000, 1000000000};
    ASSERT_EQ(utime(tuic.c_str(), &long_ago), 0);

    RunResult status = m.service({"status"});
    EXPECT_EQ(status.out, compact("connected", "Vorn product tunnel process is running") + "\n") << status.err << read_text(m.runtime() / "product-xray.pid");

    RunResult r = m.service({"disconnect"});
    EXPECT_EQ(r.out, compact("idle", "Vorn product tunnel disconnected") + "\n");
    EXPECT_FALSE(fs::exists(tuic));
    RunResult list = m.run({m.system_tool("tasklist.exe"), "/FO", "CSV", "/NH"});
    EXPECT_EQ(list.out.find("\"engine.exe\""), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("\"editor.exe\""), std::string::npos) << list.out;

    // Alone, the stranger does not make the status check report a tunnel.
    write_text(tuic, std::to_string(stranger));
    ASSERT_EQ(utime(tuic.c_str(), &long_ago), 0);
    EXPECT_EQ(m.service({"status"}).out, compact("idle", "Vorn product tunnel disconnected") + "\n");
}

}  // namespace
}  // namespace vorn::wine
