// The service's pipe and loopback ports against another local process under Wine: nobody else
// can join or take over the pipe, a connect never opens a pipe or share it names, and an engine
// port someone else holds fails the connect.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <thread>

#include "service_case.h"

namespace vorn::wine {
namespace {

namespace fs = std::filesystem;

// Runs pipe_probe in the background; `ready()` waits for its set-up line in the report file and,
// when the probe ends without one, says how it ended.
class Probe {
public:
    Probe(WineMachine& m, std::vector<std::string> args) : report_(m.program_data().parent_path() / "probe-report.txt") {
        fs::remove(report_);
        args.push_back(windows_path(report_));
        thread_ = std::thread([this, &m, args] {
            RunResult r = m.program("pipe_probe.exe", args);
            std::lock_guard<std::mutex> lock(mutex_);
            ended_ = "rc " + std::to_string(r.rc) + ", stderr: " + r.err;
        });
    }
    ~Probe() { thread_.join(); }
    std::string ready() {
        for (int i = 0; i < 1500; ++i) {
            std::string text = read_text(report_);
            if (text.find('\n') != std::string::npos) return text.substr(0, text.find('\n'));
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!ended_.empty()) return "<ended without a report: " + ended_ + ">";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return "<no report after 30 s>";
    }
    std::string finish() {
        thread_.join();
        thread_ = std::thread([] {});
        return read_text(report_);
    }

private:
    fs::path report_;
    std::mutex mutex_;
    std::string ended_;
    std::thread thread_;
};

const std::string kIdle = compact("idle", "Vorn product tunnel service is idle");

TEST(ServicePipe, NoOtherProcessCreatesAnInstanceWhileIdleOrRightAfterAnAnswer) {
    ServiceCase s;
    RunResult raced = s.m.program("pipe_probe.exe", {"race", "40"});
    EXPECT_EQ(raced.out, "answered 40 created 0") << raced.err;
    EXPECT_EQ(s.ask(R"({"command":"status"})"), kIdle);  // the client's server check passes
}

// The service creates its pipe before it reports anything and serves it once the resume of the
// saved tunnel is done, so from the moment the service is seen starting the name is taken.
TEST(ServicePipe, NoOtherProcessTakesTheNameAtAnyMomentOfAStart) {
    ServiceCase s;
    s.stop();
    // A saved request that each resume reads (the service's own copy) and fails on quickly: a real
    // one takes seconds.
    fs::path request = s.m.program_data().parent_path() / "request.json";
    write_text(service_runtime() / "product-tunnel-reconnect-request.json", "{");
    write_text(service_runtime() / "product-tunnel-reconnect-request-path.txt", windows_path(request));
    auto begin = std::chrono::steady_clock::now();
    RunResult squatted =
        s.m.program("pipe_probe.exe", {"squat", "20", windows_path(service_runtime() / "product-tunnel-status.json")});
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
    std::cout << "20 starts, each resuming, in " << took << " ms: " << squatted.out;
    EXPECT_EQ(squatted.out.rfind("answered 20 tries ", 0), 0u) << squatted.out << squatted.err;
    EXPECT_EQ(lines_of(squatted.out).size(), 1u) << squatted.out;  // no failure but 231 (the name is taken)
    EXPECT_NE(squatted.out.find(" created 0\n"), std::string::npos) << squatted.out;
    auto recorded = nlohmann::json::parse(read_text(service_runtime() / "product-tunnel-status.json"), nullptr, false);
    EXPECT_EQ(recorded.value("message", "").rfind("could not parse product tunnel request: ", 0), 0u)
        << recorded.dump();
}

TEST(ServicePipe, ServiceStartedWhileTheNameIsHeldDoesNotServeAndSaysSo) {
    ServiceCase s;
    s.stop();
    Probe squatter(s.m, {"serve", "VornTunnelService", "8"});
    std::string held = squatter.ready();
    ASSERT_EQ(held.rfind("ok ", 0), 0u) << held;
    s.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    auto recorded = nlohmann::json::parse(read_text(service_runtime() / "product-tunnel-status.json"), nullptr, false);
    ASSERT_TRUE(recorded.is_object());
    EXPECT_EQ(recorded["status"], "error");
    EXPECT_EQ(recorded["message"].get<std::string>().rfind(
                  "could not create service pipe \\\\.\\pipe\\VornTunnelService: the name is held by another process: ", 0),
              0u)
        << recorded.dump();

    // The desktop application's check refuses the squatter before sending anything.
    RunResult refused = s.m.program("pipe-client.exe", {R"({"command":"status"})"});
    EXPECT_EQ(refused.rc, 3);
    EXPECT_NE(refused.err.find("the pipe is served by process " + held.substr(3) + ", not by the service"),
              std::string::npos) << refused.err;
    EXPECT_EQ(refused.out, "");

    // Once the name is free the service takes it, and status reports why it was not answering.
    std::string counted = squatter.finish();
    EXPECT_NE(counted.find("connections 1"), std::string::npos) << counted;
    std::string answer = s.ask(R"({"command":"status"})");
    EXPECT_EQ(answer.rfind(R"({"status":"error","message":"could not create service pipe )", 0), 0u) << answer;
}

TEST(ServicePipe, ConnectNamingAPipeOrAShareIsRefusedWithoutOpeningIt) {
    ServiceCase s;
    Probe probe(s.m, {"serve", "vorn-probe", "6"});
    const std::string serving = probe.ready();
    ASSERT_EQ(serving.rfind("ok ", 0), 0u) << serving;
    const std::string refused = "could not read product tunnel request: the path is ";
    EXPECT_EQ(s.ask(s.connect_request("\\\\.\\pipe\\vorn-probe")),
              compact("error", refused + "a pipe path, not a file on a local disk"));
    EXPECT_EQ(s.ask(s.connect_request("//./pipe/vorn-probe")),
              compact("error", refused + "a pipe path, not a file on a local disk"));
    EXPECT_EQ(s.ask(s.connect_request("\\\\host\\share\\request.json")),
              compact("error", refused + "a UNC path, not a file on a local disk"));
    EXPECT_EQ(probe.finish(), serving + "\nconnections 0\n");
    // The service still holds and serves its own pipe.
    EXPECT_EQ(s.ask(R"({"command":"status"})").rfind(R"({"status":"error","message":"could not read product)", 0), 0u);
    EXPECT_EQ(s.m.program("pipe_probe.exe", {"race", "3"}).out, "answered 3 created 0");
}

TEST(ServicePipe, EnginePortHeldByAnotherProcessFailsTheConnectAndLeavesNoEngine) {
    // Wine lists every listener without its owner, so the holder is named as another process.
    const std::string unnamed = " is already held by another process (the system does not say which)";
    struct Case {
        uint16_t held;
        std::string message;
        const char* listen = "listen";  // "listen6": on [::], taking IPv4 connections too
    };
    const Case cases[] = {
        {18109, "could not start Hysteria2 engine: local port 127.0.0.1:18109" + unnamed},
        {18089, "could not start Xray TUN engine: local port 127.0.0.1:18089" + unnamed},  // after Hysteria2 started
        {18109, "could not start Hysteria2 engine: local port 127.0.0.1:18109" + unnamed, "listen6"},
    };
    ServiceCase s;
    std::string request = write_request(s.m, "hysteria2");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.listen) + " " + std::to_string(c.held));
        Probe holder(s.m, {c.listen, std::to_string(c.held), "8"});
        const std::string held = holder.ready();
        ASSERT_EQ(held.rfind("ok ", 0), 0u) << held;
        EXPECT_EQ(s.ask(s.connect_request(request)), compact("error", c.message));
        std::set<uint16_t> listening = prefix_listening_ports();
        EXPECT_EQ(listening.count(18109), c.held == 18109 ? 1u : 0u);  // Hysteria2 was stopped
        EXPECT_EQ(listening.count(18108) + listening.count(18082), 0u);
        EXPECT_FALSE(fs::exists(service_runtime() / "product-hysteria.pid"));
        EXPECT_FALSE(fs::exists(service_runtime() / "product-xray.pid"));
    }
}

}  // namespace
}  // namespace vorn::wine
