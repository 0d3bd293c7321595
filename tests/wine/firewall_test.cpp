// The tunnel's firewall under Wine: it outlives the process that made it, goes with every
// disconnect, keeps blocking while the service reconnects, and a connect that cannot install it
// leaves nothing behind.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <thread>

#include "firewall_flows.h"
#include "service_case.h"

namespace vorn::wine {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* kConnected = "Vorn product tunnel started in full mode over xray";
const std::vector<std::string> kNone;

std::string status_file() { return read_text(service_runtime() / "product-tunnel-status.json"); }

bool has_host_route(const WineMachine& m, const std::string& destination) {
    for (const auto& r : m.state_json("routes.json")) {
        if (r.value("destination", "") == destination && r.value("netmask", "") == "255.255.255.255") return true;
    }
    return false;
}

TEST(Firewall, PipeDisconnectAndUninstallRemoveIt) {
    ServiceCase s;
    ASSERT_EQ(s.ask(s.connect_request(write_request(s.m, "xray"))), compact("connected", kConnected));
    EXPECT_EQ(family_objects(s.m).size(), 32u);
    EXPECT_EQ(s.ask(R"({"command":"disconnect"})"), compact("idle", "Vorn product tunnel disconnected"));
    EXPECT_EQ(family_objects(s.m), kNone);

    ASSERT_EQ(s.ask(s.connect_request(write_request(s.m, "xray"))), compact("connected", kConnected));
    EXPECT_EQ(family_objects(s.m).size(), 32u);
    RunResult removed = s.m.service({"uninstall"});
    EXPECT_EQ(removed.rc, 0) << removed.err;
    EXPECT_EQ(family_objects(s.m), kNone);
}

// While the service reconnects after Xray died, nothing the firewall blocks gets out, and the
// engines can still reach the server. The reconnect's permit names the new adapter.
TEST(Firewall, KeepsBlockingThroughAReconnectAndPermitsTheNewAdapter) {
    ServiceCase s;
    ASSERT_EQ(s.ask(s.connect_request(write_request(s.m, "xray"))), compact("connected", kConnected));
    nlohmann::json permit = family_filter(s.m, 14);
    ASSERT_FALSE(permit.is_null());
    const std::string old_adapter = permit.dump();

    std::vector<Flow> watched;
    for (const Flow& f : full_tunnel_flows(s.m, "xray")) {
        if (!f.permitted || f.what == "Xray to the server") watched.push_back(f);
    }
    std::string pid = read_text(service_runtime() / "product-xray.pid");
    ASSERT_EQ(s.m.run({s.m.system_tool("taskkill.exe"), "/PID", pid, "/F"}).rc, 0);
    auto xray_starts = [&] {
        size_t n = 0;
        for (const std::string& line : s.m.calls()) n += line.rfind("xray run|", 0) == 0;
        return n;
    };
    int rounds = 0;
    auto begin = Clock::now();
    while (xray_starts() < 2 || status_file().find(kConnected) == std::string::npos) {
        ASSERT_LT(Clock::now() - begin, std::chrono::seconds(60)) << status_file();
        (void)check_flows(s.m, watched);
        EXPECT_FALSE(family_objects(s.m).empty()) << "the firewall went away while reconnecting";
        ++rounds;
    }
    std::cout << "flows checked in " << rounds << " rounds while the service reconnected\n";
    EXPECT_GE(rounds, 2);
    nlohmann::json renewed = family_filter(s.m, 14);
    ASSERT_FALSE(renewed.is_null());
    EXPECT_NE(renewed.dump(), old_adapter);
    EXPECT_NE(renewed.dump().find(std::to_string(s.m.state_json("tunnel-interfaces.json").back().value("index", 0))),
              std::string::npos)
        << renewed.dump();
    (void)check_flows(s.m, full_tunnel_flows(s.m, "xray"));
    EXPECT_EQ(s.ask(R"({"command":"disconnect"})"), compact("idle", "Vorn product tunnel disconnected"));
    EXPECT_EQ(family_objects(s.m), kNone);
}

TEST(Firewall, AConnectThatCannotInstallItFailsAndLeavesNothing) {
    WineMachine m(case_name());
    m.set_fault("wfpFilterAddStatus", 0x80320002);
    RunResult r = m.service({"connect", "--request", write_request(m, "hysteria2")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err.rfind("could not install the tunnel firewall: FwpmFilterAdd0 failed: 0x80320002", 0), 0u) << r.err;
    EXPECT_EQ(family_objects(m), kNone);
    EXPECT_FALSE(port_open(18089));
    EXPECT_FALSE(port_open(18109));
    EXPECT_FALSE(fs::exists(m.runtime() / "product-xray.pid"));
    EXPECT_FALSE(fs::exists(m.runtime() / "product-hysteria.pid"));
    EXPECT_FALSE(tunnel_routes_up(m));
    for (const char* host : {"203.0.113.7", "198.51.100.20", "1.1.1.1", "8.8.8.8"}) {
        EXPECT_FALSE(has_host_route(m, host)) << host;
    }
}

}  // namespace
}  // namespace vorn::wine
