// Full-tunnel networking with the real Win32 adapters on the simulated machine.

#include <gtest/gtest.h>

#include "wine_machine.h"

namespace vorn::wine {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

fs::path wintun_runtime_copy() {
    for (const auto& user : fs::directory_iterator(fs::path(VORN_WINE_PREFIX) / "drive_c" / "users")) {
        fs::path candidate = user.path() / "AppData" / "Local" / "VornVPN" / "runtime" / "wintun.dll";
        if (fs::exists(user.path() / "AppData" / "Local")) return candidate;
    }
    return {};
}

bool has_route(const json& routes, const std::string& destination, const std::string& mask, const std::string& gateway) {
    for (const auto& r : routes) {
        if (r["destination"] == destination && r["netmask"] == mask && r["gateway"] == gateway) return true;
    }
    return false;
}

TEST(FullTunnel, WfpRemovalDeletesEveryKeyInOrderAndCloses) {
    WineMachine m(case_name());
    m.set_state_json("wfp.json", {{"objects",
                                   {"{56A51FF0-6E39-4C1F-8F69-2E1D2CC40C01}", "{56A51FF1-6E39-4C1F-8F69-2E1D2CC40C01}",
                                    "{56A51FF2-6E39-4C1F-8F69-2E1D2CC40000}", "{56A51FF3-6E39-4C1F-8F69-2E1D2CC40005}"}}});
    RunResult r = m.program("engine_probe.exe", {"wfp"});
    EXPECT_EQ(r.out, "ok\n") << r.err;
    // One transaction: the family goes whole.
    auto log = lines_of(read_text(m.state() / "wfp.log"));
    ASSERT_EQ(log.size(), 262u);
    EXPECT_EQ(log[0], "open server=null authn=10 identity=null session=null status=0");
    EXPECT_EQ(log[1], "begin 0x00000000");
    EXPECT_EQ(log[2], "delete-filter {56A51FF2-6E39-4C1F-8F69-2E1D2CC40000} 0x00000000");
    EXPECT_EQ(log[3], "delete-filter {56A51FF3-6E39-4C1F-8F69-2E1D2CC40000} 0x80320003");
    EXPECT_EQ(log[13], "delete-filter {56A51FF3-6E39-4C1F-8F69-2E1D2CC40005} 0x00000000");
    EXPECT_EQ(log[256], "delete-filter {56A51FF2-6E39-4C1F-8F69-2E1D2CC4007F} 0x80320003");
    EXPECT_EQ(log[257], "delete-filter {56A51FF3-6E39-4C1F-8F69-2E1D2CC4007F} 0x80320003");
    EXPECT_EQ(log[258], "delete-sublayer {56A51FF1-6E39-4C1F-8F69-2E1D2CC40C01} 0x00000000");
    EXPECT_EQ(log[259], "delete-provider {56A51FF0-6E39-4C1F-8F69-2E1D2CC40C01} 0x00000000");
    EXPECT_EQ(log[260], "commit 0x00000000");
    EXPECT_EQ(log[261], "close");
    EXPECT_EQ(m.state_json("wfp.json")["objects"], json::array());

    // A filter outside the 128 slots is left, and with it the sublayer and provider.
    m.set_state_json("wfp.json", {{"objects",
                                   {"{56A51FF0-6E39-4C1F-8F69-2E1D2CC40C01}", "{56A51FF1-6E39-4C1F-8F69-2E1D2CC40C01}",
                                    "{56A51FF2-6E39-4C1F-8F69-2E1D2CC40080}"}}});
    fs::remove(m.state() / "wfp.log");
    EXPECT_EQ(m.program("engine_probe.exe", {"wfp"}).out, "ok\n");
    EXPECT_EQ(m.state_json("wfp.json")["objects"].size(), 3u);
    log = lines_of(read_text(m.state() / "wfp.log"));
    ASSERT_EQ(log.size(), 262u);
    EXPECT_EQ(log[258], "delete-sublayer {56A51FF1-6E39-4C1F-8F69-2E1D2CC40C01} 0x8032000A: held by "
                        "{56A51FF2-6E39-4C1F-8F69-2E1D2CC40080}");
    EXPECT_EQ(log[259], "delete-provider {56A51FF0-6E39-4C1F-8F69-2E1D2CC40C01} 0x8032000A: held by "
                        "{56A51FF1-6E39-4C1F-8F69-2E1D2CC40C01}");
}

TEST(FullTunnel, WfpEngineThatCannotOpen) {
    WineMachine m(case_name());
    m.set_state_json("wfp.json", {{"openStatus", 1753}});
    RunResult r = m.program("engine_probe.exe", {"wfp"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, "FwpmEngineOpen0 failed: Windows error 1753\n");
    EXPECT_EQ(lines_of(read_text(m.state() / "wfp.log")).size(), 1u);
}

TEST(FullTunnel, WintunIsWrittenOutOnceAndThenFound) {
    WineMachine m(case_name());
    fs::path copy = wintun_runtime_copy();
    ASSERT_FALSE(copy.empty());
    fs::remove(copy);
    RunResult first = m.program("engine_probe.exe", {"wintun"});
    ASSERT_EQ(first.rc, 0) << first.out << first.err;
    EXPECT_NE(first.out.find("\\VornVPN\\runtime\\wintun.dll"), std::string::npos) << first.out;
    EXPECT_EQ(read_text(copy), read_text(fs::path(VORN_WINDOWS_BIN_DIR) / "wintun.dll"));
    auto written = fs::last_write_time(copy);
    RunResult second = m.program("engine_probe.exe", {"wintun"});
    EXPECT_EQ(second.out, first.out);
    EXPECT_EQ(fs::last_write_time(copy), written);

    // A directory named wintun.dll beside the executable is chosen, and fails to load.
    fs::create_directories(m.machine() / "wintun.dll");
    RunResult directory = m.program("engine_probe.exe", {"wintun"});
    EXPECT_EQ(directory.rc, 1);
    EXPECT_EQ(directory.out.rfind("Windows error ", 0), 0u) << directory.out;
    EXPECT_GT(std::stoul(directory.out.substr(14)), 0u);
}

TEST(FullTunnel, RoutesForAWildcardDnsServerName) {
    WineMachine m(case_name());
    RunResult r = m.program("engine_probe.exe", {"routes", write_request(m, "xray", "203-0-113-7.sslip.io")});
    ASSERT_EQ(r.out, "ok\n") << r.err;
    EXPECT_EQ(read_text(m.runtime() / "product-route-exceptions.json"),
              R"(["203.0.113.7","198.51.100.20","1.1.1.1","8.8.8.8"])");
    json routes = m.state_json("routes.json");
    for (const char* host : {"203.0.113.7", "198.51.100.20", "1.1.1.1", "8.8.8.8"}) {
        EXPECT_TRUE(has_route(routes, host, "255.255.255.255", "192.168.1.1")) << host;
    }
    EXPECT_TRUE(tunnel_routes_up(m));
    json tunnel = m.state_json("tunnel-interfaces.json").back();
    EXPECT_EQ(tunnel["name"].get<std::string>().rfind("VornVPN-", 0), 0u);
    EXPECT_EQ(tunnel["address"], "172.19.0.1");
    EXPECT_EQ(tunnel["mask"], "255.255.255.252");
    EXPECT_EQ(tunnel["addressSource"], "static");
    EXPECT_EQ(tunnel["dns"], "1.1.1.1");
    EXPECT_EQ(tunnel["dnsSource"], "static");
    // The printed table shows the tunnel's upper half the way the status check reads it.
    RunResult print = m.run({m.system_tool("route.exe"), "print", "128.0.0.0"});
    EXPECT_NE(print.out.find("        128.0.0.0        128.0.0.0       172.19.0.1       172.19.0.1      1"),
              std::string::npos) << print.out;
}

TEST(FullTunnel, ConflictingVpnClientIsNamed) {
    WineMachine m(case_name());
    EXPECT_EQ(m.program("engine_probe.exe", {"conflict"}).out, "ok\n");
    m.start_idle("openvpn.exe");
    RunResult r = m.program("engine_probe.exe", {"conflict"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, "CONFLICTING_VPN_ACTIVE: close other VPN clients before starting Vorn VPN: openvpn.exe\n");
}

TEST(FullTunnel, ProbesPassThroughTheRunningXray) {
    for (std::string transport : {"xray", "hysteria2"}) {
        WineMachine m(case_name());
        if (transport == "hysteria2") {
            ASSERT_EQ(m.program("engine_probe.exe", {"start-backend", write_request(m, transport)}).out, "ok\n");
        }
        RunResult r = m.program("engine_probe.exe", {"probe", write_request(m, transport)});
        EXPECT_EQ(r.out, "ok\n") << transport << r.err;
        int curls = 0;
        for (const auto& call : m.calls()) {
            if (call.rfind("curl ", 0) != 0) continue;
            ++curls;
            EXPECT_EQ(std::count(call.begin(), call.end(), '|'), 12) << call;
        }
        EXPECT_EQ(curls, 2);
    }
}

TEST(FullTunnel, ProbeTimeOutGivesTheFullMessageAndReport) {
    WineMachine m(case_name());
    m.set_fault("curlTimeout", true);
    m.start_idle("wireguard.exe");
    RunResult r = m.program("engine_probe.exe", {"probe", write_request(m, "xray")});
    EXPECT_EQ(r.rc, 1);
    const std::string head =
        "XRAY_PROXY_PROBE_FAILED: full tunnel HTTPS probe failed: cloudflare: curl: (28) Operation timed out after "
        "12001 milliseconds with 0 bytes received\nXray local proxy accepted the probe, but the HTTPS probe timed out "
        "after full-tunnel routes were installed. This usually points to a client routing/full-tunnel conflict, a "
        "competing VPN filter, or a route exception that Windows is not applying to Xray egress.\n"
        "active VPN processes: wireguard.exe\nroute to VPN server (203.0.113.7):\n";
    EXPECT_EQ(r.out.substr(0, head.size()), head) << r.out;
    EXPECT_NE(r.out.find("\ndefault route snapshot:\n"), std::string::npos);
    EXPECT_NE(r.out.find("\nfull tunnel high route snapshot:\n"), std::string::npos);
    EXPECT_EQ(r.out.find("\r"), std::string::npos);
}

}  // namespace
}  // namespace vorn::wine
