// The real executable as a service under Wine's service manager, driven over its named pipe.

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <iostream>
#include <thread>

#include "service_case.h"

namespace vorn::wine {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

TEST(Service, StatusConnectAndDisconnectOverThePipe) {
    ServiceCase s;
    EXPECT_EQ(s.ask(R"({"command":"status","requestPath":null})"), compact("idle", "Vorn product tunnel service is idle"));
    EXPECT_EQ(s.ask(R"({"command":"connect"})"), compact("error", "connect request is missing requestPath"));
    EXPECT_EQ(s.ask(R"({"command":"Connect"})").rfind(R"({"status":"error","message":"invalid service IPC request: )", 0), 0u);

    std::string request = write_request(s.m, "xray");
    EXPECT_EQ(s.ask(s.connect_request(request)), compact("connected", "Vorn product tunnel started in full mode over xray"));
    EXPECT_EQ(read_text(service_runtime() / "product-tunnel-reconnect-request-path.txt"), request);
    EXPECT_TRUE(port_open(18089));
    EXPECT_EQ(s.ask(R"({"command":"status"})"), compact("connected", "Vorn product tunnel started in full mode over xray"));

    EXPECT_EQ(s.ask(R"({"command":"disconnect"})"), compact("idle", "Vorn product tunnel disconnected"));
    EXPECT_FALSE(port_open(18089));
    EXPECT_EQ(read_text(service_runtime() / "product-tunnel-status.json"),
              "{\n  \"status\": \"idle\",\n  \"message\": \"Vorn product tunnel disconnected\"\n}");
}

TEST(Service, StopIsReportedPromptly) {
    ServiceCase s;
    EXPECT_EQ(s.ask(R"({"command":"status"})"), compact("idle", "Vorn product tunnel service is idle"));
    auto took = s.stop();
    // sc stop and each sc query are Wine program starts of their own; the service itself ends
    // its idle wait within 100 ms.
    EXPECT_LT(took.count(), 3000) << took.count() << " ms";
    std::cout << "stop to STOPPED: " << took.count() << " ms\n";
}

TEST(Service, RestartResumesAConnectedTunnelAndNotADisconnectedOne) {
    ServiceCase s;
    std::string request = write_request(s.m, "tuic");
    ASSERT_EQ(s.ask(s.connect_request(request)), compact("connected", "Vorn product tunnel started in full mode over tuic"));
    s.stop();  // stopping the service stops the engines, and leaves the status file as it was
    EXPECT_FALSE(port_open(18108));
    fs::remove(service_runtime() / "product-xray-stdout.log");
    // The resume connects with the service's own copy of the request, never the user's file.
    EXPECT_EQ(read_text(service_runtime() / "product-tunnel-reconnect-request.json"), read_text(s.m.program_data().parent_path() / "request.json"));
    fs::remove(s.m.program_data().parent_path() / "request.json");
    s.start();
    EXPECT_EQ(s.ask(R"({"command":"status"})"), compact("connected", "Vorn product tunnel started in full mode over tuic"));
    EXPECT_TRUE(fs::exists(service_runtime() / "product-xray-stdout.log"));  // the resume started Xray again
    EXPECT_TRUE(port_open(18108));

    EXPECT_EQ(s.ask(R"({"command":"disconnect"})"), compact("idle", "Vorn product tunnel disconnected"));
    s.stop();
    fs::remove(service_runtime() / "product-xray-stdout.log");
    s.start();
    EXPECT_EQ(s.ask(R"({"command":"status"})"), compact("idle", "Vorn product tunnel disconnected"));
    EXPECT_FALSE(fs::exists(service_runtime() / "product-xray-stdout.log"));
}

TEST(Service, SilentClientIsDroppedAndTheNextIsServed) {
    ServiceCase s;
    EXPECT_EQ(s.ask(R"({"command":"status"})"), compact("idle", "Vorn product tunnel service is idle"));
    std::thread holder([&] { (void)s.m.program("pipe-client.exe", {"--hold", "10"}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    auto begin = Clock::now();
    EXPECT_EQ(s.ask(R"({"command":"status"})"), compact("idle", "Vorn product tunnel service is idle"));
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
    holder.join();
    // Dropped after 250 reads 20 ms apart (about 5 s from its connect), long before it closes.
    EXPECT_GT(waited, 2000);
    EXPECT_LT(waited, 9000);
}

// Started from a folder that others may write, the service stops at once and records why.
TEST(Service, RefusesToRunFromAFolderOthersMayWrite) {
    WineMachine m(case_name());
    fs::remove_all(service_runtime());
    m.start_idle("keeper.exe", 600);
    (void)m.run({"sc.exe", "delete", "VornTunnelService"});
    RunResult installed = m.service({"install"});
    ASSERT_EQ(installed.rc, 0) << installed.err;
    fs::permissions(m.machine(), fs::perms::others_write, fs::perm_options::add);
    (void)m.run({"sc.exe", "start", "VornTunnelService"});
    const fs::path status = service_runtime() / "product-tunnel-status.json";
    for (int i = 0; i < 100 && !fs::exists(status); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    fs::permissions(m.machine(), fs::perms::others_write, fs::perm_options::remove);
    const std::string message =
        "could not start VornTunnelService: " + windows_path(m.machine()) + " is writable by non-administrators";
    nlohmann::json record = nlohmann::json::parse(read_text(status), nullptr, false);
    EXPECT_EQ(record, nlohmann::json({{"status", "error"}, {"message", message}}));
    EXPECT_NE(m.run({"sc.exe", "query", "VornTunnelService"}).out.find("STOPPED"), std::string::npos);
    (void)m.run({"sc.exe", "delete", "VornTunnelService"});
}

}  // namespace
}  // namespace vorn::wine
