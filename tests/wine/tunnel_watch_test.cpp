// The service keeps a tunnel true between requests: an engine that dies is noticed and
// reconnected, a new default route takes the route exceptions with it, and an exception route
// dropped under the same default route is added again.

#include <gtest/gtest.h>

#include <algorithm>
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

std::string status_file() { return read_text(service_runtime() / "product-tunnel-status.json"); }

// Polls every 100 ms until `done` holds or `limit` passed; how long it took (or -1).
long long wait_for(const std::function<bool()>& done, std::chrono::seconds limit) {
    auto begin = Clock::now();
    while (Clock::now() - begin < limit) {
        if (done()) return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
}

size_t xray_starts(WineMachine& m) {
    size_t n = 0;
    for (const std::string& line : m.calls()) n += line.rfind("xray run|", 0) == 0;
    return n;
}

void kill_xray(WineMachine& m) {
    std::string pid = read_text(service_runtime() / "product-xray.pid");
    ASSERT_FALSE(pid.empty());
    ASSERT_EQ(m.run({m.system_tool("taskkill.exe"), "/PID", pid, "/F"}).rc, 0);
}

TEST(TunnelWatch, KilledXrayIsRecordedWithinTwoSecondsAndTheFirstRetryReconnects) {
    ServiceCase s;
    const std::string request = write_request(s.m, "xray");
    ASSERT_EQ(s.ask(s.connect_request(request)), compact("connected", kConnected));
    ASSERT_TRUE(tunnel_routes_up(s.m));
    fs::remove(s.m.program_data().parent_path() / "request.json");  // the reconnect uses the service's own copy
    kill_xray(s.m);
    long long noticed = wait_for([] { return status_file().find("TUNNEL_ENGINE_EXITED: Xray TUN exited with exit code: 1") != std::string::npos; },
                                 std::chrono::seconds(10));
    std::cout << "exit to TUNNEL_ENGINE_EXITED: " << noticed << " ms\n";
    EXPECT_GE(noticed, 0) << status_file();
    EXPECT_LT(noticed, 2000);
    EXPECT_GE(wait_for([&] { return !tunnel_routes_up(s.m); }, std::chrono::seconds(20)), 0) << "the tunnel's routes stayed";
    long long back = wait_for([] { return status_file().find(kConnected) != std::string::npos; }, std::chrono::seconds(90));
    std::cout << "TUNNEL_ENGINE_EXITED to connected again: " << back << " ms\n";
    EXPECT_GE(back, 0) << status_file();
    EXPECT_EQ(xray_starts(s.m), 2u);
    EXPECT_TRUE(tunnel_routes_up(s.m));
    EXPECT_EQ(s.ask(R"({"command":"disconnect"})"), compact("idle", "Vorn product tunnel disconnected"));
}

// Connects, makes every later Xray run fail with exit code 7, kills the running one and returns
// when each of the first `tries` reconnects has started.
std::vector<Clock::time_point> failing_retries(ServiceCase& s, size_t tries) {
    EXPECT_EQ(s.ask(s.connect_request(write_request(s.m, "xray"))), compact("connected", kConnected));
    s.m.set_fault("xray", {{"exitCode", 7}, {"stderr", "simulated engine failure"}});
    std::vector<Clock::time_point> starts{Clock::now()};
    kill_xray(s.m);
    for (size_t seen = 1; seen <= tries; ++seen) {
        EXPECT_GE(wait_for([&] { return xray_starts(s.m) > seen; }, std::chrono::seconds(60)), 0)
            << "retry " << seen << " never started: " << status_file();
        starts.push_back(Clock::now());
    }
    EXPECT_GE(wait_for([] { return status_file().find("exit code: 7") != std::string::npos; }, std::chrono::seconds(30)), 0)
        << status_file();
    return starts;
}

TEST(TunnelWatch, RetriesOfAFailingEngineAreSpacedAndADisconnectStopsThem) {
    ServiceCase s;
    std::vector<Clock::time_point> starts = failing_retries(s, 2);
    auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(starts[2] - starts[1]).count();
    std::cout << "first to second retry: " << gap << " ms\n";
    EXPECT_GE(gap, 4000);  // 4 s after the first try ended
    EXPECT_EQ(s.ask(R"({"command":"disconnect"})"), compact("idle", "Vorn product tunnel disconnected"));
    size_t after = xray_starts(s.m);
    std::this_thread::sleep_for(std::chrono::seconds(12));  // the third try would have come 8 s after the second
    EXPECT_EQ(xray_starts(s.m), after);
    EXPECT_EQ(status_file(), "{\n  \"status\": \"idle\",\n  \"message\": \"Vorn product tunnel disconnected\"\n}");
}

TEST(TunnelWatch, FiveFailedRetriesTwoToThirtyTwoSecondsApartLeaveTheLastErrorBehindTheFirewall) {
    ServiceCase s;
    std::vector<Clock::time_point> starts = failing_retries(s, 5);
    const long long least_ms[] = {2000, 4000, 8000, 16000, 32000};  // each try also takes its own time
    for (size_t i = 1; i < starts.size(); ++i) {
        auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(starts[i] - starts[i - 1]).count();
        std::cout << "retry " << i << " after " << gap << " ms\n";
        EXPECT_GE(gap, least_ms[i - 1]) << "retry " << i;
        EXPECT_LT(gap, least_ms[i - 1] + 20000) << "retry " << i;
    }
    std::this_thread::sleep_for(std::chrono::seconds(10));
    EXPECT_EQ(xray_starts(s.m), 6u) << "a sixth try";
    const std::string last = status_file();
    EXPECT_NE(last.find("\"status\": \"error\""), std::string::npos) << last;
    EXPECT_NE(last.find("exit code: 7"), std::string::npos) << last;
    EXPECT_NE(last.find("\"message\": \"TUNNEL_DOWN_TRAFFIC_BLOCKED: "), std::string::npos) << last;
    EXPECT_NE(last.find("; disconnect to restore the network\""), std::string::npos) << last;
    EXPECT_EQ(s.ask(R"({"command":"status"})").rfind(R"({"status":"error","message":"TUNNEL_DOWN_TRAFFIC_BLOCKED: )", 0), 0u);
    std::vector<Flow> blocked;
    for (const Flow& f : full_tunnel_flows(s.m, "xray")) {
        if (!f.permitted || f.what == "Xray to the server") blocked.push_back(f);
    }
    (void)check_flows(s.m, blocked);
    EXPECT_EQ(s.ask(R"({"command":"disconnect"})"), compact("idle", "Vorn product tunnel disconnected"));
    EXPECT_EQ(family_objects(s.m), std::vector<std::string>{});
}

// Where Windows' DHCP client keeps the gateway it was given for the simulated Ethernet interface.
const char* kInterfaceKey =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\{7d3c2b1a-0000-4000-8000-00155d010203}";

// What Windows' DHCP client writes when the network hands out a gateway. Wine notifies only a
// write that changes the value, and the prefix outlives a run: each case forgets the gateway
// before it connects.
void forget_dhcp_gateway(WineMachine& m) { (void)m.run({"reg.exe", "delete", kInterfaceKey, "/v", "DhcpDefaultGateway", "/f"}); }
int dhcp_gives_gateway(WineMachine& m, const std::string& gateway) {
    return m.run({"reg.exe", "add", kInterfaceKey, "/v", "DhcpDefaultGateway", "/t", "REG_MULTI_SZ", "/d", gateway, "/f"}).rc;
}

TEST(TunnelWatch, NothingRunsWhileTheRouteHoldsAndANewNextHopTakesTheExceptions) {
    ServiceCase s;
    forget_dhcp_gateway(s.m);
    ASSERT_EQ(s.ask(s.connect_request(write_request(s.m, "xray"))), compact("connected", kConnected));
    size_t before = s.m.calls().size();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    EXPECT_EQ(s.m.calls().size(), before) << "tools ran while nothing changed";

    nlohmann::json routes = s.m.state_json("routes.json");
    for (auto& r : routes) {
        if (r.value("destination", "") == "0.0.0.0" && r.value("netmask", "") == "0.0.0.0") r["gateway"] = "192.168.50.1";
    }
    s.m.set_state_json("routes.json", routes);
    ASSERT_EQ(dhcp_gives_gateway(s.m, "192.168.50.1"), 0);
    auto repointed = [&] {
        size_t n = 0;
        for (const auto& r : s.m.state_json("routes.json")) {
            n += r.value("netmask", "") == "255.255.255.255" && r.value("gateway", "") == "192.168.50.1";
        }
        return n == 4;  // server, control plane, 1.1.1.1, 8.8.8.8
    };
    long long took = wait_for(repointed, std::chrono::seconds(15));
    std::cout << "new next hop to exceptions through it: " << took << " ms\n";
    EXPECT_GE(took, 0) << s.m.state_json("routes.json").dump(1);
    EXPECT_LT(took, 5000);
    for (const auto& r : s.m.state_json("routes.json")) {
        EXPECT_FALSE(r.value("netmask", "") == "255.255.255.255" && r.value("gateway", "") == "192.168.1.1") << r.dump();
    }
    EXPECT_EQ(s.ask(R"({"command":"status"})"), compact("connected", kConnected));
}

TEST(TunnelWatch, AServerRouteDroppedUnderTheSameGatewayIsAddedAgainWithinFiveSeconds) {
    ServiceCase s;
    forget_dhcp_gateway(s.m);
    ASSERT_EQ(s.ask(s.connect_request(write_request(s.m, "xray"))), compact("connected", kConnected));
    auto is_server_route = [](const nlohmann::json& r) {
        return r.value("destination", "") == "203.0.113.7" && r.value("netmask", "") == "255.255.255.255" &&
               r.value("gateway", "") == "192.168.1.1";
    };
    auto listed = [&] {
        nlohmann::json routes = s.m.state_json("routes.json");
        return std::any_of(routes.begin(), routes.end(), is_server_route);
    };
    ASSERT_TRUE(listed());

    // A Wi-Fi re-association: the host route is gone and the DHCP client writes the same gateway
    // again. (Windows would report the delete through its route notifications too; Wine sends none.)
    nlohmann::json routes = s.m.state_json("routes.json");
    routes.erase(std::remove_if(routes.begin(), routes.end(), is_server_route), routes.end());
    size_t before = s.m.calls().size();
    auto begin = Clock::now();
    s.m.set_state_json("routes.json", routes);
    ASSERT_EQ(dhcp_gives_gateway(s.m, "192.168.1.1"), 0);
    bool back = wait_for(listed, std::chrono::seconds(15)) >= 0;
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
    std::cout << "server route dropped to added again: " << (back ? took : -1) << " ms\n";
    ASSERT_TRUE(back) << s.m.state_json("routes.json").dump(1);
    EXPECT_LT(took, 5000);
    // The connect's own command for it, and no other route changed.
    const std::string server_add = "route add|203.0.113.7|mask|255.255.255.255|192.168.1.1|if|12|metric|1";
    std::vector<std::string> all = s.m.calls(), changes;
    EXPECT_EQ(std::count(all.begin(), all.begin() + static_cast<long>(before), server_add), 1);
    for (size_t i = before; i < all.size(); ++i) {
        if (all[i].rfind("route add|", 0) == 0 || all[i].rfind("route delete|", 0) == 0) changes.push_back(all[i]);
    }
    EXPECT_EQ(changes, std::vector<std::string>{server_add});
    EXPECT_EQ(s.ask(R"({"command":"status"})"), compact("connected", kConnected));
}

}  // namespace
}  // namespace vorn::wine
