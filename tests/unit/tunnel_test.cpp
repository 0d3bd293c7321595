#include <gtest/gtest.h>

#include "bin/vorn_tunnel_service/commands.h"
#include "common/files.h"
#include "common/operator_settings.h"
#include "common/text.h"
#include "engines/engine_stop.h"
#include "connect_setup.h"
#include "fakes.h"
#include "full_tunnel/probes.h"
#include "full_tunnel/routes.h"
#include "service/connect_record.h"
#include "service/ipc.h"
#include "service/live_status.h"
#include "service/tunnel_watch.h"
#include "tunnel/connect.h"
#include "tunnel/disconnect.h"

namespace vorn {
namespace {

using testing::FakePlatform;
using testing::fixture;
using testing::ToolCall;
using testing::kWfpRemovalCalls;
namespace fs = std::filesystem;

using testing::ConnectMachine;

struct ConnectFixture : testing::ConnectSetup {
    ConnectFixture() { EXPECT_TRUE(ready.ok()) << ready.error(); }
    std::string request(const std::string& mode, const std::string& transport, const std::string& host = "\"203.0.113.7\"") {
        std::string path = (install.path() / "request.json").string();
        EXPECT_TRUE(write_file(path, request_text(mode, transport, host)).ok());
        return path;
    }
};

const char* kRestoreFirst = "route delete 0.0.0.0 mask 128.0.0.0 172.19.0.1";

// The network restore's commands, for an exceptions file listing `hosts`.
std::vector<std::string> restore_commands(std::vector<std::string> hosts) {
    std::vector<std::string> commands = {kRestoreFirst, "route delete 128.0.0.0 mask 128.0.0.0 172.19.0.1", kRestoreFirst,
                                         "route delete 128.0.0.0 mask 128.0.0.0 172.19.0.1",
                                         "netsh interface ip set address name=VornVPN dhcp",
                                         "netsh interface ip set dns name=VornVPN dhcp"};
    hosts.insert(hosts.end(), std::begin(kFixedServerAddresses), std::end(kFixedServerAddresses));
    for (const std::string& host : hosts) commands.push_back("route delete " + host + " mask 255.255.255.255");
    return commands;
}

TEST(Connect, FullOverXraySucceedsWithTheMessage) {
    ConnectFixture c;
    std::vector<size_t> commits_at;  // how many tools had run at each WFP commit
    c.f.wfp.on_commit = [&] { commits_at.push_back(c.f.tools.calls.size()); };
    auto status = connect_product_tunnel(c.f.platform, c.request("full", "xray"));
    ASSERT_TRUE(status.ok()) << status.error();
    EXPECT_EQ(*status, make_status(TunnelState::Connected, "Vorn product tunnel started in full mode over xray"));
    EXPECT_EQ(c.f.tools.call_texts().front(), kRestoreFirst);
    EXPECT_EQ(read_file(c.f.runtime() + "/product-xray.pid").value(), "4321");
    EXPECT_TRUE(file_exists(c.f.runtime() + "/product-route-exceptions.json"));
    EXPECT_EQ(c.count("curl.exe"), 2u);
    ASSERT_EQ(c.f.processes.requests.size(), 1u);
    EXPECT_EQ(c.f.processes.requests[0].args,
              (std::vector<std::string>{"run", "-config", c.f.runtime() + "/product-xray-tun.json"}));
    EXPECT_EQ(c.f.dlls.live_modules, 0);  // Wintun released when the connect returned
    // The clean-up, then the firewall without and with the adapter, one transaction each, all
    // before the first half-default route.
    ASSERT_EQ(commits_at.size(), 3u);
    const auto& texts = c.f.tools.call_texts();
    auto half_default = std::find_if(texts.begin(), texts.end(), [](const std::string& t) {
        return t.rfind("route add 0.0.0.0 mask 128.0.0.0", 0) == 0;
    });
    ASSERT_NE(half_default, texts.end());
    EXPECT_LE(commits_at[2], static_cast<size_t>(half_default - texts.begin()));
    EXPECT_EQ(c.f.wfp.installed.filters.size(), 30u);
    // The whole sequence of tool runs, so that one more or one less shows.
    std::vector<std::string> runs = restore_commands({});
    runs.push_back("tasklist /FO CSV /NH");
    runs.insert(runs.end(), 81, "route print");  // 40 + 40 waits for the adapter to go (listed all along), 1 for it to come
    runs.push_back("powershell -NoProfile -ExecutionPolicy Bypass -Command " + std::string(kDefaultRouteScript));
    runs.push_back("route print");
    for (const char* host : {"203.0.113.7", "198.51.100.20", "1.1.1.1", "8.8.8.8"}) {
        runs.push_back("route add " + std::string(host) + " mask 255.255.255.255 192.168.1.1 if 12 metric 1");
    }
    for (const char* command : {"netsh interface ip set address name=VornVPN-1700000000000 static 172.19.0.1 255.255.255.252",
                                "netsh interface ip set dns name=VornVPN-1700000000000 static 1.1.1.1 primary",
                                "route add 0.0.0.0 mask 128.0.0.0 172.19.0.1 if 23 metric 1",
                                "route add 128.0.0.0 mask 128.0.0.0 172.19.0.1 if 23 metric 1", "route print 0.0.0.0",
                                "route print 128.0.0.0"}) {
        runs.push_back(command);
    }
    for (const ProbeTarget& t : probe_targets()) runs.push_back("curl.exe " + join(curl_probe_arguments(t), " "));
    EXPECT_EQ(join(c.f.tools.call_texts(), "\n"), join(runs, "\n"));
}

TEST(Connect, ModesAndTransportsShapeTheSequence) {
    struct Case {
        const char* mode;
        const char* transport;
        std::string message;  // success message, or the failure
        bool ok;
        size_t launches;
        bool routes;
    };
    const Case cases[] = {
        {"Full", "xray", "Vorn product tunnel started in Full mode over xray", true, 1, false},
        {"anything", " Hysteria2 ", "Vorn product tunnel started in anything mode over  Hysteria2 ", true, 2, false},
        {"full", "tuic", "Vorn product tunnel started in full mode over tuic", true, 2, true},
        {"full", "vless", "PRODUCT_TUNNEL_BACKEND_NOT_INSTALLED: VLESS is not supported by product tunnel", false, 0, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.message);
        ConnectFixture c;
        ASSERT_TRUE(create_directories(c.f.runtime()).ok());
        ASSERT_TRUE(write_file(c.f.runtime() + "/product-tuic.pid", "77").ok());
        auto status = connect_product_tunnel(c.f.platform, c.request(k.mode, k.transport));
        EXPECT_EQ(status.ok(), k.ok);
        EXPECT_EQ(status.ok() ? *status->message : status.rendered(), k.message);
        EXPECT_EQ(c.f.processes.requests.size(), k.launches);
        EXPECT_EQ(c.count("route add"), k.routes ? 6u : 0u);
        EXPECT_EQ(c.count("curl.exe"), k.routes ? 2u : 0u);
        // Earlier engines are stopped and the configuration is written before the backend step.
        EXPECT_EQ(c.count("taskkill /PID 77 /T /F"), 1u);
        EXPECT_FALSE(file_exists(c.f.runtime() + "/product-tuic.pid") && k.launches == 0);
        EXPECT_TRUE(file_exists(c.f.runtime() + "/product-xray-tun.json"));
    }
}

// Over hysteria2 the backend (pid 4321, launched first) is running when Xray (4322) starts, so
// which failures stop the engines shows in whether the backend is ended.
TEST(Connect, CleanupDependsOnWhatFailed) {
    struct Case {
        const char* name;
        std::function<void(ConnectFixture&)> arrange;
        std::string error_prefix;
        bool engines_stopped;  // by the step's own cleanup, through the pid files
        bool network_restored;
        std::vector<uint32_t> ended;  // then by the undo, through their handles, last started first
    };
    auto change = [](auto edit) {
        return [edit](ConnectFixture& c) {
            ConnectMachine m;
            edit(m);
            c.set_machine(m);
        };
    };
    const Case cases[] = {
        {"backend port never opens", [](ConnectFixture& c) { c.f.net.accept_from = 0; },
         "Hysteria2 engine did not open local SOCKS port", false, false, {4321}},
        {"backend port held before the start", [](ConnectFixture& c) { c.f.net.listeners[18109] = {{977}}; },
         "could not start Hysteria2 engine: local port 127.0.0.1:18109 is already held by process 977", false, false, {}},
        {"backend port opened by another process", [](ConnectFixture& c) { c.f.net.listeners[18109] = {{}, {977}}; },
         "Hysteria2 engine local port 127.0.0.1:18109 is held by process 977, not by the engine (process 4321)", true,
         false, {4321}},
        {"probe port held before Xray starts", [](ConnectFixture& c) { c.f.net.listeners[18089] = {{555}}; },
         "could not start Xray TUN engine: local port 127.0.0.1:18089 is already held by process 555", true, false, {4321}},
        {"Xray cannot start",
         [](ConnectFixture& c) {
             c.f.processes.next_failure = LaunchFailure{LaunchStage::Start, "bad image"};
             c.f.processes.fail_on_launch = 2;
         },
         "could not start Xray TUN engine: bad image", false, false, {4321}},
        {"Xray exits at start",
         [](ConnectFixture& c) {
             c.f.processes.exit_after_polls = 2;
             c.f.processes.exit_code = 23;
             c.f.processes.exit_on_launch = 2;
         },
         "Xray TUN engine exited during startup: exit code: 23", true, false, {4321}},
        {"adapter never appears", change([](ConnectMachine& m) { m.adapter = false; }),
         "Xray TUN adapter did not become ready", true, false, {4322, 4321}},
        {"probe port opened by another process", [](ConnectFixture& c) { c.f.net.listeners[18089] = {{}, {555}}; },
         "Xray TUN engine local port 127.0.0.1:18089 is held by process 555, not by the engine (process 4322)", true,
         false, {4322, 4321}},
        {"pid file cannot be written",
         [](ConnectFixture& c) { ASSERT_TRUE(create_directories(c.f.runtime() + "/product-xray.pid").ok()); },
         "could not write Xray TUN pid: ", false, false, {4322, 4321}},
        {"routes never show", change([](ConnectMachine& m) { m.routes_show = false; }),
         "full tunnel routes did not become active", true, true, {4322, 4321}},
        {"probe times out", change([](ConnectMachine& m) { m.curl_fails = true; }),
         "XRAY_PROXY_PROBE_FAILED: full tunnel HTTPS probe failed: cloudflare: curl: (28) timed out", true, true,
         {4322, 4321}},
        {"firewall filter refused", [](ConnectFixture& c) { c.f.wfp.add_filter_status = 0x80320002; },
         "could not install the tunnel firewall: FwpmFilterAdd0 failed: 0x80320002", true, true, {4322, 4321}},
        {"engine without an application id", [](ConnectFixture& c) {
             c.f.wfp.missing_files = {(c.install.path() / "hysteria.exe").string()};
         },
         "could not install the tunnel firewall: FwpmGetAppIdFromFileName0 failed for ", true, true, {4322, 4321}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ConnectFixture c;
        ASSERT_TRUE(create_directories(c.f.runtime()).ok());
        std::string path = c.request("full", "hysteria2");
        k.arrange(c);
        auto status = connect_product_tunnel(c.f.platform, path);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.rendered().rfind(k.error_prefix, 0), 0u) << status.rendered();
        EXPECT_EQ(c.count("taskkill /PID 4321 /T /F"), k.engines_stopped ? 1u : 0u);
        EXPECT_EQ(c.count(kRestoreFirst), k.network_restored ? 4u : 2u);
        EXPECT_EQ(c.f.processes.ended, k.ended);
        EXPECT_FALSE(file_exists(c.f.runtime() + "/product-hysteria.pid"));
        EXPECT_FALSE(fs::is_regular_file(c.f.runtime() + "/product-xray.pid"));
        // No object of the firewall outlives a failed connect, and no half policy was ever committed.
        EXPECT_TRUE(c.f.wfp.installed.filters.empty());
        EXPECT_FALSE(c.f.wfp.installed.provider);
        EXPECT_NE(query_live_status(c.f.platform).report.status, TunnelState::Connected);
    }
}

TEST(Connect, FailuresBeforeTheEngines) {
    struct Case {
        const char* name;
        std::string request;  // "" for the default full/xray request
        ConnectMachine machine;
        std::string error;
    };
    ConnectMachine conflict;
    conflict.conflicting_vpn = true;
    const Case cases[] = {
        {"unparsable request", "{", ConnectMachine{}, "could not parse product tunnel request: "},
        {"missing request", "<missing>", ConnectMachine{}, "could not read product tunnel request: "},
        {"request over 1 MiB", "<huge>", ConnectMachine{},
         "could not read product tunnel request: the file is larger than 1 MiB"},
        {"conflicting VPN refuses split too", "split", conflict,
         "CONFLICTING_VPN_ACTIVE: close other VPN clients before starting Vorn VPN: openvpn.exe"},
        {"conflicting VPN refuses full", "", conflict,
         "CONFLICTING_VPN_ACTIVE: close other VPN clients before starting Vorn VPN: openvpn.exe"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ConnectFixture c;
        c.set_machine(k.machine);
        std::string path = c.request(k.request == "split" ? "split" : "full", "xray");
        if (k.request == "{") { ASSERT_TRUE(write_file(path, "{").ok()); }
        if (k.request == "<missing>") path += ".missing";
        if (k.request == "<huge>") {
            // Valid JSON with padding, one byte past the bound: refused before it is parsed.
            std::string padded = read_file(path).value();
            padded.append(kRequestFileLimitBytes + 1 - padded.size(), ' ');
            ASSERT_TRUE(write_file(path, padded).ok());
        }
        auto status = connect_product_tunnel(c.f.platform, path);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.rendered().rfind(k.error, 0), 0u) << status.rendered();
        EXPECT_EQ(c.f.tools.call_texts().front(), kRestoreFirst);  // the network restore comes first
        EXPECT_TRUE(c.f.processes.requests.empty());
        EXPECT_TRUE(c.f.wfp.calls.empty());
    }
}

TEST(Connect, HostThatIsNotTextFailsInTheRouteStepWithCleanup) {
    ConnectFixture c;
    auto status = connect_product_tunnel(c.f.platform, c.request("full", "xray", "5"));
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(), "could not configure full tunnel: config server host is missing");
    EXPECT_EQ(c.count(kRestoreFirst), 4u);
    EXPECT_EQ(c.count("taskkill /PID 4321 /T /F"), 1u);
}

TEST(StopEngines, PidFilesInTableOrder) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> files;
        std::vector<uint32_t> running;
        std::string error;
        std::vector<std::string> kills;
        std::vector<std::string> kept;
        std::vector<std::string> foreign = {};  // owned by another account, or writable by one
    };
    const Case cases[] = {
        {"nothing", {}, {}, "", {}, {}},
        {"a pid file someone else wrote is absent", {{"product-xray.pid", "77"}, {"product-tuic.pid", "78"}}, {}, "",
         {}, {"product-xray.pid", "product-tuic.pid"}, {"product-xray.pid", "product-tuic.pid"}},
        {"1234 with a line feed", {{"product-xray.pid", "1234\n"}}, {}, "", {"taskkill /PID 1234 /T /F"}, {}},
        {"abc", {{"product-xray.pid", "abc"}, {"product-tuic.pid", "8"}}, {},
         "could not parse product Xray pid: invalid digit found in string", {"taskkill /PID 8 /T /F"}, {"product-xray.pid"}},
        {"two bad files", {{"product-xray.pid", ""}, {"product-hysteria.pid", "99999999999"}}, {},
         "could not parse product Xray pid: cannot parse integer from empty string; could not parse Hysteria2 pid: "
         "number too large to fit in target type",
         {}, {"product-xray.pid", "product-hysteria.pid"}},
        {"all three in order", {{"product-hysteria.pid", "3"}, {"product-xray.pid", "1"}, {"product-tuic.pid", "2"}}, {},
         "", {"taskkill /PID 1 /T /F", "taskkill /PID 2 /T /F", "taskkill /PID 3 /T /F"}, {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        FakePlatform f;
        ASSERT_TRUE(create_directories(f.runtime()).ok());
        for (const auto& [name, text] : k.files) ASSERT_TRUE(write_file(f.runtime() + "/" + name, text).ok());
        for (size_t i = 0; i < k.foreign.size(); ++i) f.files.mark(f.runtime() + "/" + k.foreign[i], i == 0, i != 0);
        ConnectMachine m;
        m.adapter = false;
        f.tools.handler = m;
        Status result = stop_engines(f.platform);
        EXPECT_EQ(result.ok() ? "" : result.error(), k.error);
        std::vector<std::string> kills;
        for (const auto& call : f.tools.call_texts()) {
            if (call.rfind("taskkill", 0) == 0) kills.push_back(call);
        }
        EXPECT_EQ(kills, k.kills);
        for (const auto& [name, text] : k.files) {
            bool kept = std::find(k.kept.begin(), k.kept.end(), name) != k.kept.end();
            EXPECT_EQ(file_exists(f.runtime() + "/" + name), kept) << name;
        }
        // A stale pid is tested once; the adapter check runs once and finds nothing.
        EXPECT_EQ(f.tools.count("tasklist"), k.kills.size());
        EXPECT_EQ(f.tools.count("route"), 1u);
        EXPECT_TRUE(f.clock.sleeps.empty());
    }
}

TEST(StopEngines, WaitsFiftyTestsForASurvivorAndFortyChecksForTheAdapter) {
    FakePlatform f;
    ASSERT_TRUE(create_directories(f.runtime()).ok());
    ASSERT_TRUE(write_file(f.runtime() + "/product-xray.pid", "4242").ok());
    ConnectMachine m;
    m.running = {4242};
    f.tools.handler = m;
    EXPECT_TRUE(stop_engines(f.platform).ok());
    EXPECT_EQ(f.tools.count("tasklist"), 50u);
    std::vector<uint32_t> expected(50, 100);
    expected.insert(expected.end(), 40, 250);
    EXPECT_EQ(f.clock.sleeps, expected);
    EXPECT_FALSE(file_exists(f.runtime() + "/product-xray.pid"));
}

TEST(StopEngines, AProcessThatStartedAfterThePidFileIsNotOurs) {
    FakePlatform f;
    f.wfp.open_status = 0;
    ASSERT_TRUE(create_directories(f.runtime()).ok());
    std::string path = f.runtime() + "/product-xray.pid";
    ASSERT_TRUE(write_file(path, "4242").ok());
    uint64_t written = file_write_time_ms(path).value();
    ConnectMachine m;
    m.running = {4242};
    m.adapter = false;
    f.tools.handler = m;

    f.processes.start_times[4242] = written + 60000;  // a reused id
    EXPECT_TRUE(stop_engines(f.platform).ok());
    EXPECT_EQ(f.tools.count("taskkill"), 0u);
    EXPECT_FALSE(file_exists(path));

    // The live check does not count it as a tunnel either.
    ASSERT_TRUE(write_file(path, "4242").ok());
    written = file_write_time_ms(path).value();
    f.processes.start_times[4242] = written + 60000;
    EXPECT_EQ(query_live_status(f.platform).report, make_status(TunnelState::Idle, "Vorn product tunnel service is idle"));

    ASSERT_TRUE(write_file(path, "4242").ok());
    f.processes.start_times[4242] = file_write_time_ms(path).value() - 5;  // started before: ours
    f.tools.calls.clear();
    (void)stop_engines(f.platform);
    EXPECT_EQ(f.tools.count("taskkill"), 1u);
}

TEST(Disconnect, SequenceAndOutcome) {
    struct Case {
        std::string xray_pid;
        TunnelStatus expected;
        bool wfp_removed;
    };
    const Case cases[] = {
        {"", make_status(TunnelState::Idle, "Vorn product tunnel disconnected"), true},
        // An engine that would not stop still leaves no firewall behind to keep the machine offline.
        {"abc", make_status(TunnelState::Error, "could not parse product Xray pid: invalid digit found in string"), true},
    };
    for (const Case& k : cases) {
        FakePlatform f;
        ASSERT_TRUE(create_directories(f.runtime()).ok());
        ASSERT_TRUE(write_file(f.runtime() + "/product-tunnel-reconnect-request-path.txt", "C:\\r.json").ok());
        ASSERT_TRUE(write_file(f.runtime() + "/product-route-exceptions.json", "[\"203.0.113.7\"]").ok());
        if (!k.xray_pid.empty()) { ASSERT_TRUE(write_file(f.runtime() + "/product-xray.pid", k.xray_pid).ok()); }
        ConnectMachine m;
        m.adapter = false;
        f.tools.handler = m;
        f.nothing_installed();
        EXPECT_EQ(disconnect_product_tunnel(f.platform), k.expected);
        EXPECT_FALSE(file_exists(f.runtime() + "/product-tunnel-reconnect-request-path.txt"));
        EXPECT_FALSE(file_exists(f.runtime() + "/product-route-exceptions.json"));
        EXPECT_EQ(f.tools.call_texts().front(), kRestoreFirst);
        EXPECT_EQ(f.tools.count("route"), 4u + 4u + 1u);  // half-defaults twice, 4 host routes, presence check
        std::vector<std::string> runs = restore_commands({"203.0.113.7"});
        runs.push_back("route print");
        EXPECT_EQ(join(f.tools.call_texts(), "\n"), join(runs, "\n"));
        EXPECT_EQ(f.wfp.calls.size(), k.wfp_removed ? kWfpRemovalCalls : 0u);
    }
}

TEST(CommandLine, ConnectFailureAndSuccessRecording) {
    {
        ConnectFixture c;
        ConnectMachine m;
        m.conflicting_vpn = true;
        c.set_machine(m);
        EXPECT_EQ(run_command_line(c.f.platform, {"svc.exe", "connect", "--request", c.request("full", "xray")}), 1);
        std::string message = "CONFLICTING_VPN_ACTIVE: close other VPN clients before starting Vorn VPN: openvpn.exe";
        EXPECT_EQ(c.f.out.str(), "{\"status\":\"error\",\"message\":\"" + message + "\"}\n");
        EXPECT_EQ(c.f.err.str(), message + "\n");
        EXPECT_TRUE(c.f.wfp.calls.empty());  // the service's filters, if any, are not this connect's
        EXPECT_EQ(read_status(c.f.platform), make_status(TunnelState::Error, message));
        EXPECT_FALSE(file_exists(c.f.runtime() + "/product-tunnel-reconnect-request-path.txt"));
    }
    {
        ConnectFixture c;
        std::string path = c.request("full", "xray");
        EXPECT_EQ(run_command_line(c.f.platform, {"svc.exe", "connect", "--request", path}), 0);
        EXPECT_EQ(c.f.out.str(), "{\"status\":\"connected\",\"message\":\"Vorn product tunnel started in full mode over xray\"}\n");
        EXPECT_EQ(read_file(c.f.runtime() + "/product-tunnel-reconnect-request-path.txt").value(), path);
        // A full tunnel is not handed over (the service client is not scripted).
    }
    {
        FakePlatform f;
        ASSERT_TRUE(create_directories(f.runtime()).ok());
        ASSERT_TRUE(write_file(f.runtime() + "/product-tuic.pid", "x1").ok());
        ConnectMachine m;
        m.adapter = false;
        f.tools.handler = m;
        f.nothing_installed();
        f.service_client.scripted = true;  // the service is not running
        EXPECT_EQ(run_command_line(f.platform, {"svc.exe", "disconnect"}), 0);
        EXPECT_EQ(f.out.str(), "{\"status\":\"error\",\"message\":\"could not parse TUIC pid: invalid digit found in string\"}\n");
        EXPECT_EQ(f.err.str(), "");
    }
}


// A full tunnel over xray connected through the pipe and watched; the pipe loop's idle turns
// are `turns`, 100 ms of the clock apart.
struct WatchFixture : ConnectFixture {
    static constexpr const char* kPath = "C:\\Vorn\\request.json";

    WatchFixture() {
        bytes = read_file(request("full", "xray")).value();
        f.request_files.files[kPath] = testing::ScriptedFile{OpenedFile{bytes, "\\\\?\\C:\\Vorn\\request.json"}, false};
        f.processes.openable[4321] = xray;
        f.net.route_changes = {true};  // the connect's own routes, looked at once when it is done
        f.net.routes_quiet = true;
        ask(R"({"command":"connect","requestPath":"C:\\Vorn\\request.json"})");
        EXPECT_EQ(read_status(f.platform), make_status(TunnelState::Connected, kConnected));
        EXPECT_TRUE(watch.watching());
    }
    std::string ask(const std::string& request) {
        return handle_ipc_request(
            f.platform, request, [this](const std::string&) -> Result<OpenedFile> { return OpenedFile{bytes, kPath}; },
            &watch);
    }
    void turns(int n) {
        for (int i = 0; i < n; ++i) {
            watch.idle_turn();
            f.clock.sleep_ms(100);
        }
    }
    // The Xray stand-in's process ends; the adapter goes with it.
    void xray_exits(uint32_t code, const std::string& stderr_text) {
        EXPECT_TRUE(write_file(f.runtime() + "/product-xray-stderr.log", stderr_text).ok());
        xray->exit_code = code;
        ConnectMachine m = machine;
        m.adapter = false;
        set_machine(m);
    }
    // When each connect ran its conflict check (the clock, in ms).
    std::vector<uint64_t> connect_times;
    void time_connects() {
        testing::FakeTools::Handler inner = f.tools.handler;
        f.tools.handler = [this, inner](const ToolCall& call) {
            if (call.program == "tasklist" && call.args.at(0) == "/FO") connect_times.push_back(f.clock.now_ms);
            return inner(call);
        };
    }

    static constexpr const char* kConnected = "Vorn product tunnel started in full mode over xray";
    std::string bytes;
    std::shared_ptr<testing::OpenedScript> xray = std::make_shared<testing::OpenedScript>();
    TunnelWatch watch{f.platform};
};

TEST(TunnelWatch, NothingRunsWhileTheTunnelHoldsThenAnExitTakesItDownAndTheFirstRetryReconnects) {
    WatchFixture w;
    size_t before = w.f.tools.calls.size();
    w.turns(300);
    EXPECT_EQ(w.f.tools.calls.size(), before);  // 30 idle seconds: not one tool run
    EXPECT_EQ(w.xray->polls, 300);

    w.xray_exits(3221225477u, "line 1\nfatal: tun device lost\n");
    w.turns(1);
    EXPECT_EQ(read_status(w.f.platform),
              make_status(TunnelState::Error,
                          "TUNNEL_ENGINE_EXITED: Xray TUN exited with exit code: 0xc0000005: line 1\nfatal: tun device lost"));
    EXPECT_EQ(w.count("route delete 0.0.0.0 mask 128.0.0.0 172.19.0.1"), 4u);  // connect's restore, then the take-down's
    // The exception, taken down through the next hop it was added through.
    EXPECT_EQ(w.count("route delete 203.0.113.7 mask 255.255.255.255 192.168.1.1"), 1u);
    EXPECT_FALSE(file_exists(w.f.runtime() + "/product-route-exceptions.json"));
    EXPECT_TRUE(file_exists(w.f.runtime() + "/product-tunnel-reconnect-request-path.txt"));
    EXPECT_TRUE(w.watch.retrying());

    ConnectMachine healthy;
    w.set_machine(healthy);
    w.time_connects();
    w.f.processes.openable[4322] = std::make_shared<testing::OpenedScript>();
    uint64_t exited = w.f.clock.now_ms;
    w.turns(30);
    ASSERT_EQ(w.connect_times.size(), 1u);
    EXPECT_EQ(w.connect_times[0] - exited, 1900u);  // the turn 2 s after the exit (measured after its sleep)
    EXPECT_EQ(read_status(w.f.platform), make_status(TunnelState::Connected, WatchFixture::kConnected));
    EXPECT_EQ(w.f.processes.opened, (std::vector<uint32_t>{4321, 4322}));  // the new Xray is watched
    EXPECT_FALSE(w.watch.retrying());
}

TEST(TunnelWatch, FiveRetriesTwoToThirtyTwoSecondsApartThenTheLastErrorStaysBehindTheFirewall) {
    WatchFixture w;
    w.xray_exits(1, "");
    ConnectMachine failing;
    failing.conflicting_vpn = true;
    failing.adapter = false;
    w.set_machine(failing);
    w.time_connects();
    w.turns(1);
    uint64_t exited = w.f.clock.now_ms - 100;
    EXPECT_EQ(read_status(w.f.platform), make_status(TunnelState::Error, "TUNNEL_ENGINE_EXITED: Xray TUN exited with exit code: 1"));
    w.turns(1000);  // 100 s
    ASSERT_EQ(w.connect_times.size(), 5u);
    std::vector<uint64_t> gaps = {w.connect_times[0] - exited};
    for (size_t i = 1; i < w.connect_times.size(); ++i) gaps.push_back(w.connect_times[i] - w.connect_times[i - 1]);
    EXPECT_EQ(gaps, (std::vector<uint64_t>{2000, 4000, 8000, 16000, 32000}));
    EXPECT_EQ(read_status(w.f.platform),
              make_status(TunnelState::Error, "TUNNEL_DOWN_TRAFFIC_BLOCKED: CONFLICTING_VPN_ACTIVE: close other VPN clients "
                                              "before starting Vorn VPN: openvpn.exe; disconnect to restore the network"));
    EXPECT_FALSE(w.watch.retrying());
    EXPECT_FALSE(w.watch.watching());
}

TEST(TunnelWatch, WhatEndsTheRetriesOrTheWatch) {
    struct Case {
        const char* name;
        const char* request;  // asked after the exit; none: the saved path is deleted before it
        std::string recorded;
    };
    const std::string conflict = "CONFLICTING_VPN_ACTIVE: close other VPN clients before starting Vorn VPN: openvpn.exe";
    const Case cases[] = {
        {"disconnect during the retries", R"({"command":"disconnect"})", "Vorn product tunnel disconnected"},
        {"new connect during the retries", R"({"command":"connect","requestPath":"C:\\Vorn\\request.json"})", conflict},
        {"disconnected by the command line", nullptr, WatchFixture::kConnected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WatchFixture w;
        ConnectMachine failing;
        failing.conflicting_vpn = true;
        failing.adapter = false;
        if (!c.request) remove_file(w.f.runtime() + "/product-tunnel-reconnect-request-path.txt");
        w.xray_exits(1, "");
        w.set_machine(failing);
        w.turns(1);
        if (c.request) w.ask(c.request);
        w.time_connects();
        w.turns(700);
        EXPECT_TRUE(w.connect_times.empty());
        EXPECT_FALSE(w.watch.retrying());
        EXPECT_EQ(read_status(w.f.platform)->message, c.recorded);
    }
}

TEST(TunnelWatch, RouteChangesKeepTheExceptionsThroughTheDefaultRoute) {
    struct Case {
        const char* name;
        std::string powershell;  // the default route after the change
        bool adapter;
        std::vector<std::string> commands;  // run after the look at the adapter and the route
        std::optional<std::string> recorded;  // when the tunnel was taken down
        std::string hop_after = "192.168.1.1";  // the recorded next hop afterwards
        const char* dropped = nullptr;  // an exception host route `route print` no longer lists
        const char* recorded_hop = nullptr;  // the next hop recorded before the change, when not the connect's
    };
    const std::vector<std::string> repointed = {
        "route delete 203.0.113.7 mask 255.255.255.255 192.168.1.1", "route add 203.0.113.7 mask 255.255.255.255 192.168.50.1 if 14 metric 1",
        "route delete 198.51.100.20 mask 255.255.255.255 192.168.1.1", "route add 198.51.100.20 mask 255.255.255.255 192.168.50.1 if 14 metric 1",
        "route delete 1.1.1.1 mask 255.255.255.255 192.168.1.1", "route add 1.1.1.1 mask 255.255.255.255 192.168.50.1 if 14 metric 1",
        "route delete 8.8.8.8 mask 255.255.255.255 192.168.1.1", "route add 8.8.8.8 mask 255.255.255.255 192.168.50.1 if 14 metric 1",
    };
    const std::string same = R"({"NextHop":"192.168.1.1","ifIndex":12})";
    const std::string readd_server = "route add 203.0.113.7 mask 255.255.255.255 192.168.1.1 if 12 metric 1";
    const Case cases[] = {
        {"new next hop and interface", R"({"NextHop":"192.168.50.1","ifIndex":14})", true, repointed, std::nullopt, "192.168.50.1"},
        {"same route, every exception listed", same, true, {}, std::nullopt},
        {"same route, the server's host route gone", same, true, {readd_server}, std::nullopt, "192.168.1.1", "203.0.113.7"},
        {"same route, exceptions recorded through another next hop", same, true,
         {"route delete 203.0.113.7 mask 255.255.255.255 10.0.0.9", readd_server}, std::nullopt, "192.168.1.1", "203.0.113.7",
         "10.0.0.9"},
        {"no default route left", "", true, {}, std::nullopt},
        {"adapter gone", "", false, {}, "TUNNEL_ENGINE_EXITED: Xray TUN adapter disappeared"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WatchFixture w;
        w.turns(10);
        const std::string hop_file = w.f.runtime() + "/product-route-exceptions-next-hop.txt";
        if (c.recorded_hop) {
            ASSERT_TRUE(write_file(hop_file, c.recorded_hop).ok());
        }
        std::string table = fixture(c.adapter ? "route-print.txt" : "route-print-idle.txt");
        if (c.dropped) {
            size_t row = table.find(std::string(c.dropped) + "  255.255.255.255");
            ASSERT_NE(row, std::string::npos);
            size_t start = table.rfind('\n', row) + 1;
            table.erase(start, table.find('\n', row) + 1 - start);
        }
        size_t before = w.f.tools.calls.size();
        testing::FakeTools::Handler inner = w.f.tools.handler;
        w.f.tools.handler = [&](const ToolCall& call) -> Result<ToolRun> {
            if (call.program == "powershell") return ToolRun{0, c.powershell, ""};
            if (call.program == "route" && call.args.size() == 1) return ToolRun{0, table, ""};
            return inner(call);
        };
        w.f.net.route_changes = {true};
        w.turns(1);
        std::vector<std::string> all = w.f.tools.call_texts();
        std::vector<std::string> ran(all.begin() + static_cast<long>(before), all.end());
        if (c.recorded) {
            EXPECT_EQ(read_status(w.f.platform), make_status(TunnelState::Error, *c.recorded));
            continue;
        }
        ASSERT_GE(ran.size(), 2u);
        EXPECT_EQ(ran[0], "route print");
        EXPECT_EQ(ran[1].rfind("powershell -NoProfile", 0), 0u);
        EXPECT_EQ(std::vector<std::string>(ran.begin() + 2, ran.end()), c.commands);
        EXPECT_EQ(read_file(hop_file).value(), c.hop_after);
        // Quiet again: nothing more runs until the next change.
        size_t after = w.f.tools.calls.size();
        w.turns(100);
        EXPECT_EQ(w.f.tools.calls.size(), after);
        EXPECT_EQ(read_status(w.f.platform), make_status(TunnelState::Connected, WatchFixture::kConnected));
    }
}

// The command line, the pipe and the resume share one connect; they differ only in the cleanup
// after a failure and in whether an unsaved path or status fails them.
TEST(ConnectHandling, CallersDifferOnlyWhereSpecified) {
    struct Case {
        const char* name;
        const ConnectHandling* handling;
        bool connect_fails;
        bool split_stopped;
        bool wfp_removed;
        std::string failure;  // the caller's own failure; "" when a status was recorded
    };
    const std::string unsaved = "could not persist reconnect request path: ";  // the copy went in
    const Case cases[] = {
        {"command line, failed: the service's split policy and filters stay", &kCommandLineConnect, true, false, false, ""},
        {"pipe, failed", &kPipeConnect, true, false, true, ""},
        {"resume, failed", &kResumeConnect, true, false, false, ""},
        {"command line, path unsaved", &kCommandLineConnect, false, false, false, unsaved},
        {"pipe, path unsaved", &kPipeConnect, false, false, false, ""},
        {"resume leaves the saved path alone", &kResumeConnect, false, false, false, ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ConnectFixture c;
        ConnectMachine m;
        m.conflicting_vpn = k.connect_fails;
        c.set_machine(m);
        ASSERT_TRUE(create_directories(c.f.runtime()).ok());
        const std::string saved = c.f.runtime() + "/product-tunnel-reconnect-request-path.txt";
        ASSERT_TRUE(create_directories(saved).ok());  // a path that cannot be written
        auto recorded = connect_and_record(c.f.platform, c.request("full", "xray"),
                                           [](const std::string& path) { return read_file(path); }, *k.handling);
        EXPECT_EQ(recorded.ok() ? "" : recorded.error().substr(0, unsaved.size()), k.failure);
        const bool clear_sent = std::count(c.f.driver.codes.begin(), c.f.driver.codes.end(), 0x12A008u) > 0;
        EXPECT_EQ(clear_sent, k.split_stopped);
        if (k.connect_fails) {
            auto deletes = std::count_if(c.f.wfp.calls.begin(), c.f.wfp.calls.end(),
                                         [](const std::string& call) { return call.rfind("filter ", 0) == 0; });
            EXPECT_EQ(deletes, k.wfp_removed ? 256 : 0);
        }
        std::optional<TunnelStatus> status = read_status(c.f.platform);
        if (!k.failure.empty()) {
            EXPECT_FALSE(status.has_value());
            continue;
        }
        ASSERT_TRUE(recorded.ok());
        EXPECT_EQ(status, *recorded);
        EXPECT_EQ(recorded->status, k.connect_fails ? TunnelState::Error : TunnelState::Connected);
        EXPECT_TRUE(fs::is_directory(saved));
    }
}

// While the service runs, a split connect and every disconnect are its to make: the command line
// prints the answer and leaves the record the service wrote. A disconnect the service cannot be
// asked for is made here, as without a service.
TEST(CommandLine, SplitConnectAndDisconnectAreHandedToTheService) {
    const std::string connected = R"({"status":"connected","message":"Vorn transparent split tunnel started"})";
    const std::string refused = R"({"status":"error","message":"SPLIT_REDIRECT_EMPTY_POLICY: no applications"})";
    const std::string down = "Vorn product tunnel disconnected";
    const std::string prefix = "could not hand the split tunnel to VornTunnelService: ";
    const std::string impostor = "the pipe \\\\.\\pipe\\VornTunnelService is served by process 99, not by the service (process 640)";
    // What the service recorded meanwhile.
    const TunnelStatus services = make_status(TunnelState::Error, "TUNNEL_ENGINE_EXITED: Xray split exited with exit code: 1");
    struct Case {
        const char* name;
        std::string word;
        std::function<void(testing::FakeServiceClient&)> arrange;
        int rc;
        TunnelStatus printed;
        bool answered;  // the service's answer: its record stays; else the printed one is recorded
        size_t sent;
        std::vector<uint32_t> sleeps;
    };
    const auto error = [](std::string message) { return make_status(TunnelState::Error, std::move(message)); };
    const auto compact_status = [](const TunnelStatus& status) { return status_to_json(status).value(); };
    const TunnelStatus idle = make_status(TunnelState::Idle, down);
    const Case cases[] = {
        {"service not running", "connect", [](auto&) {}, 1, error(split_needs_service().rendered()), false, 0, {}},
        {"served", "connect", [&](auto& s) { s.service_pid = 640; s.answer = connected; }, 0,
         make_status(TunnelState::Connected, "Vorn transparent split tunnel started"), true, 1, {}},
        {"refused by the service", "connect", [&](auto& s) { s.service_pid = 640; s.answer = refused; }, 1,
         error("SPLIT_REDIRECT_EMPTY_POLICY: no applications"), true, 1, {}},
        {"busy, then served", "connect", [&](auto& s) { s.service_pid = 640; s.busy_opens = 2; s.answer = connected; }, 0,
         make_status(TunnelState::Connected, "Vorn transparent split tunnel started"), true, 1, {250, 250}},
        {"pipe held by another process", "connect", [&](auto& s) { s.service_pid = 640; s.server_pid = 99; }, 1,
         error(prefix + impostor), false, 0, {}},
        {"no answer", "connect", [&](auto& s) { s.service_pid = 640; s.answer = fail("The pipe has been ended."); }, 1,
         error(prefix + "The pipe has been ended."), false, 1, {}},
        {"disconnect without the service: made here", "disconnect", [](auto&) {}, 0, idle, false, 0, {}},
        {"disconnect served", "disconnect", [&](auto& s) { s.service_pid = 640; s.answer = compact_status(idle); }, 0,
         idle, true, 1, {}},
        {"disconnect the service could not make is still a success", "disconnect",
         [&](auto& s) { s.service_pid = 640; s.answer = compact_status(error("could not parse TUIC pid: x")); }, 0,
         error("could not parse TUIC pid: x"), true, 1, {}},
        {"disconnect beside a pipe held by another process: made here", "disconnect",
         [&](auto& s) { s.service_pid = 640; s.server_pid = 99; }, 0, idle, false, 0, {}},
        {"disconnect without an answer: made here", "disconnect",
         [&](auto& s) { s.service_pid = 640; s.answer = fail("The pipe has been ended."); }, 0, idle, false, 1, {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ConnectFixture c;
        ASSERT_TRUE(write_status(c.f.platform, services).ok());
        c.f.service_client.scripted = true;
        k.arrange(c.f.service_client);
        std::string path = c.request("split", "xray");
        std::vector<std::string> args = {"svc.exe", k.word};
        if (k.word == "connect") args.insert(args.end(), {"--request", path});
        EXPECT_EQ(run_command_line(c.f.platform, args), k.rc);
        EXPECT_EQ(c.f.out.str(), compact_status(k.printed) + "\n");
        EXPECT_EQ(c.f.err.str(), k.rc == 0 ? "" : *k.printed.message + "\n");
        EXPECT_EQ(read_status(c.f.platform), k.answered ? services : k.printed);
        ASSERT_EQ(c.f.service_client.sent.size(), k.sent);
        if (k.sent) {
            nlohmann::json sent = {{"command", k.word}};
            if (k.word == "connect") sent["requestPath"] = path;
            EXPECT_EQ(c.f.service_client.sent[0], sent.dump());
        }
        std::vector<std::string> ran = c.f.tools.call_texts();
        if (k.word == "connect") {
            EXPECT_EQ(ran, std::vector<std::string>{"net session"});
        } else if (!k.answered) {  // the disconnect made here, from the network's restore on
            EXPECT_EQ(ran.at(0), kRestoreFirst);
            continue;
        } else {
            EXPECT_TRUE(ran.empty());
        }
        // Nothing of the tunnel is done here: no restore, engine, filter or policy.
        EXPECT_EQ(c.f.clock.sleeps, k.sleeps);
        EXPECT_TRUE(c.f.processes.requests.empty());
        EXPECT_TRUE(c.f.wfp.calls.empty());
        EXPECT_TRUE(c.f.driver.codes.empty());
        EXPECT_FALSE(file_exists(c.f.runtime() + "/product-tunnel-reconnect-request-path.txt"));
    }
}

}  // namespace
}  // namespace vorn
