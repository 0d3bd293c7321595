// The split tunnel end to end: the real executable, the stand-in redirect driver loaded by Wine's
// driver host as the kernel service VornSplitCallout, and stand-in applications named in the
// policy.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "bin/vorn_tunnel_service/commands.h"
#include "common/text.h"
#include "firewall_flows.h"
#include "service_case.h"
#include "split_tunnel/driver_client.h"

namespace vorn::wine {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const char kDriverService[] = "VornSplitCallout";

// The driver's kernel service for one case: registered (not started: the executable starts it)
// or, with `installed` false, known to be absent. Removed again at the end.
class SplitDriver {
public:
    explicit SplitDriver(WineMachine& m, bool installed = true) : m_(m) {
        (void)m_.run({"sc.exe", "delete", kDriverService});
        if (!installed) return;
        fs::path drivers = fs::path(VORN_WINE_PREFIX) / "drive_c" / "windows" / "system32" / "drivers";
        fs::create_directories(drivers);
        fs::copy_file(fs::path(VORN_WINDOWS_BIN_DIR) / "VornSplitCallout.sys", drivers / "VornSplitCallout.sys",
                      fs::copy_options::overwrite_existing);
        RunResult created = m_.run({"sc.exe", "create", kDriverService, "type=", "kernel", "binPath=",
                                    "C:\\windows\\system32\\drivers\\VornSplitCallout.sys"});
        EXPECT_EQ(created.rc, 0) << created.out << created.err;
    }
    void start() { EXPECT_EQ(m_.run({"sc.exe", "start", kDriverService}).rc, 0); }
    ~SplitDriver() {
        (void)m_.run({"sc.exe", "stop", kDriverService});
        (void)m_.run({"sc.exe", "delete", kDriverService});
    }

    // What driver-query reads from the device: version, tracked, applications, port, accepted.
    json diagnostics() {
        RunResult r = m_.run({windows_path(m_.machine() / "driver-query.exe")});
        EXPECT_EQ(r.rc, 0) << r.err;
        return r.rc == 0 ? json::parse(r.out) : json::object();
    }
    // Sends `record` as a policy; the tool's exit code (0 accepted, 3 refused).
    int send_policy(const std::string& record) {
        fs::path file = m_.machine() / "policy.bin";
        write_text(file, record);
        return m_.run({windows_path(m_.machine() / "driver-query.exe"), "set", windows_path(file)}).rc;
    }

private:
    WineMachine& m_;
};

// A split request naming `apps` as enabled "throughVpn" rules, plus one disabled rule.
std::string write_split_request(WineMachine& m, const std::string& transport, const std::vector<std::string>& apps) {
    json rules = json::array();
    for (const auto& app : apps) rules.push_back({{"enabled", true}, {"mode", "throughVpn"}, {"appPath", app}});
    rules.push_back({{"enabled", false}, {"mode", "throughVpn"}, {"appPath", "C:\\Games\\off.exe"}});
    json request = {{"tunnelMode", "split"},
                    {"transport", transport},
                    {"config",
                     {{"server", {{"host", "203.0.113.7"}, {"port", 443}, {"sni", "vpn.example.com"}}},
                      {"user", {{"uuid", "11111111-2222-3333-4444-555555555555"}, {"password", "secret"}}}}},
                    {"splitTunnelPolicy", {{"rules", rules}}}};
    fs::path path = m.program_data().parent_path() / "split-request.json";
    write_text(path, request.dump(2));
    return windows_path(path);
}

std::string started(const std::string& transport, int tracked) {
    return "Vorn transparent split tunnel started over " + transport +
           " (TCP redirect active; UDP remains direct until UDP relay is implemented; tracked processes: " +
           std::to_string(tracked) + ")";
}

uint16_t socks_port_of(const std::string& transport) { return equals_ignore_ascii_case(transport, "xray") ? 18082 : 18109; }

bool ran(const WineMachine& m, const std::string& prefix) {
    auto calls = m.calls();
    return std::any_of(calls.begin(), calls.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
}

// The process the driver's held policy names as its owner (0: none).
uint32_t policy_owner(WineMachine& m) {
    RunResult r = m.run({windows_path(m.machine() / "driver-query.exe"), "owner"});
    EXPECT_EQ(r.rc, 0) << r.err;
    return static_cast<uint32_t>(std::strtoul(r.out.c_str(), nullptr, 10));
}

// A split tunnel lives as long as its redirect listener: the command line hands it to the
// service, and without the service it refuses before anything starts.
TEST(SplitTunnel, CommandLineConnectIsServedByTheServiceAndRefusedWithoutIt) {
    ServiceCase s;
    WineMachine& m = s.m;
    SplitDriver driver(m);
    m.start_idle("browser.exe");
    m.start_idle("browser.exe");  // two running instances: both are tracked roots
    m.start_idle("other.exe");
    // The policy names the browser in another letter case, and the game twice.
    std::string browser = to_ascii_upper(windows_path(m.machine() / "browser.exe"));

    s.stop();
    std::string request = write_split_request(m, "xray", {"C:\\Games\\game.exe", browser, "C:\\Games\\game.exe"});
    RunResult refused = m.service({"connect", "--request", request});
    EXPECT_EQ(refused.rc, 1);
    const std::string needs = split_needs_service().rendered();
    EXPECT_EQ(refused.out, compact("error", needs) + "\n");
    EXPECT_EQ(refused.err, needs + "\n");
    EXPECT_FALSE(ran(m, "xray run|"));
    EXPECT_FALSE(port_open(18082));
    // Nothing started the driver, so no policy can have reached it.
    EXPECT_NE(m.run({windows_path(m.machine() / "driver-query.exe")}).rc, 0);
    s.start();

    const uint32_t service_pid = std::stoul(m.program("pipe-client.exe", {"--service-pid"}).out);
    for (std::string transport : {"xray", "hysteria2"}) {
        SCOPED_TRACE(transport);
        request = write_split_request(m, transport, {"C:\\Games\\game.exe", browser, "C:\\Games\\game.exe"});
        RunResult up = m.service({"connect", "--request", request});
        ASSERT_EQ(up.rc, 0) << up.out << up.err;
        EXPECT_EQ(up.out, compact("connected", started(transport, 2)) + "\n");
        json held = driver.diagnostics();
        EXPECT_EQ(held["version"], 2);
        EXPECT_EQ(held["tracked"], 2);
        EXPECT_EQ(held["applications"], 2);
        EXPECT_NE(held["port"], 0);
        EXPECT_EQ(policy_owner(m), service_pid);
        // The command line has exited; the service's listener still accepts.
        EXPECT_TRUE(port_open(held["port"].get<uint16_t>()));
        EXPECT_TRUE(port_open(socks_port_of(transport)));
        EXPECT_TRUE(ran(m, "powershell -NoProfile|-NonInteractive|-Command|Get-CimInstance Win32_Process"));
        EXPECT_EQ(s.ask(R"({"command":"status"})"), compact("connected", started(transport, 2)));
        // The policy's browser loses QUIC and falls back to TCP, which the driver bends; others keep UDP.
        auto flow = [&](const std::string& protocol, const std::string& app) {
            return std::vector<std::string>{"--direction", "out", "--protocol", protocol, "--interface", "Ethernet",
                                            "--remote", "142.250.0.1", "--remote-port", "443", "--app", app};
        };
        std::cout << "split tunnel over " << transport << ", as wfp-decide answers:\n"
                  << check_flows(m, {{"the policy's browser over QUIC", flow("udp", browser), false},
                                     {"the policy's browser over TCP", flow("tcp", browser), true},
                                     {"another application over QUIC", flow("udp", windows_path(m.machine() / "other.exe")), true}});

        EXPECT_EQ(s.ask(R"({"command":"disconnect"})"), compact("idle", "Vorn product tunnel disconnected"));
        EXPECT_EQ(family_objects(m), std::vector<std::string>{});
        json cleared = driver.diagnostics();
        EXPECT_EQ(cleared["tracked"], 0);
        EXPECT_EQ(cleared["applications"], 0);
        EXPECT_FALSE(port_open(socks_port_of(transport)));
        EXPECT_FALSE(port_open(held["port"].get<uint16_t>()));
    }
}

// While the service runs, a command-line disconnect is its to make: the redirect listener the
// policy names stops accepting with the tunnel, and the records are the service's alone.
TEST(SplitTunnel, CommandLineDisconnectEndsTheServicesListener) {
    using Clock = std::chrono::steady_clock;
    ServiceCase s;
    WineMachine& m = s.m;
    SplitDriver driver(m);
    m.start_idle("browser.exe");
    const std::string installed = read_text(m.runtime() / "product-tunnel-status.json");
    ASSERT_NE(installed.find("Vorn tunnel service installed"), std::string::npos);
    std::string request = write_split_request(m, "xray", {windows_path(m.machine() / "browser.exe")});
    RunResult up = m.service({"connect", "--request", request});
    ASSERT_EQ(up.rc, 0) << up.out << up.err;
    const uint16_t port = driver.diagnostics()["port"].get<uint16_t>();
    ASSERT_TRUE(port_open(port));

    // The port is watched while the disconnect runs, and for up to 2 s after it returned.
    std::atomic<bool> done{false};
    RunResult down;
    Clock::time_point returned;
    const Clock::time_point asked = Clock::now();
    std::thread disconnecting([&] {
        down = m.service({"disconnect"});
        returned = Clock::now();
        done = true;
    });
    bool accepting = true;
    while (accepting && !(done && Clock::now() - returned > std::chrono::seconds(2))) {
        accepting = port_open(port);
        if (accepting) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const Clock::time_point refused = Clock::now();
    disconnecting.join();
    EXPECT_EQ(down.rc, 0) << down.err;
    EXPECT_EQ(down.out, compact("idle", "Vorn product tunnel disconnected") + "\n");
    auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    std::cout << "command-line disconnect: the policy's port " << port << " refused connections " << ms(refused - asked)
              << " ms after the command started; the command returned after " << ms(returned - asked) << " ms\n";
    EXPECT_FALSE(accepting);
    EXPECT_FALSE(port_open(18082));
    EXPECT_EQ(driver.diagnostics()["applications"], 0);
    EXPECT_EQ(read_text(service_runtime() / "product-tunnel-status.json"),
              "{\n  \"status\": \"idle\",\n  \"message\": \"Vorn product tunnel disconnected\"\n}");
    // The command line's own folder still holds the install's record: it wrote none after a hand-off.
    EXPECT_EQ(read_text(m.runtime() / "product-tunnel-status.json"), installed);
}

TEST(SplitTunnel, ServiceHoldsTheRedirectListenerUntilDisconnect) {
    ServiceCase s;
    SplitDriver driver(s.m);
    s.m.start_idle("browser.exe");
    std::string request = write_split_request(s.m, "Hysteria2", {windows_path(s.m.machine() / "browser.exe")});
    std::set<uint16_t> before = prefix_listening_ports();

    // The message carries the transport as the request wrote it.
    EXPECT_EQ(s.ask(s.connect_request(request)), compact("connected", started("Hysteria2", 1)));
    json held = driver.diagnostics();
    EXPECT_EQ(held["tracked"], 1);
    EXPECT_EQ(held["applications"], 1);
    // The policy names the redirect listener the service runs, beside the engine's SOCKS port.
    std::set<uint16_t> listening = before;
    listening.insert({held["port"].get<uint16_t>(), 18109});
    EXPECT_EQ(prefix_listening_ports(), listening);
    EXPECT_TRUE(port_open(held["port"].get<uint16_t>()));
    EXPECT_EQ(s.ask(R"({"command":"status"})"), compact("connected", started("Hysteria2", 1)));

    EXPECT_EQ(s.ask(R"({"command":"disconnect"})"), compact("idle", "Vorn product tunnel disconnected"));
    EXPECT_EQ(prefix_listening_ports(), before);
    EXPECT_EQ(driver.diagnostics()["applications"], 0);
}

TEST(SplitTunnel, MissingDriverServiceFailsWithEngineAndListenerStopped) {
    ServiceCase s;
    SplitDriver absent(s.m, /*installed=*/false);
    s.m.start_idle("browser.exe");
    std::string request = write_split_request(s.m, "xray", {windows_path(s.m.machine() / "browser.exe")});
    std::set<uint16_t> before = prefix_listening_ports();

    EXPECT_EQ(s.ask(s.connect_request(request)),
              compact("error", "SPLIT_DRIVER_START_FAILED: could not open the Vorn split driver service (1060)"));
    EXPECT_TRUE(ran(s.m, "xray run|-config|"));
    EXPECT_TRUE(ran(s.m, "taskkill /PID|"));
    EXPECT_EQ(prefix_listening_ports(), before);  // neither the engine's port nor a redirect listener
    EXPECT_EQ(s.ask(R"({"command":"status"})"),
              compact("error", "SPLIT_DRIVER_START_FAILED: could not open the Vorn split driver service (1060)"));
}

TEST(SplitTunnel, EmptyPolicyFailsAfterTheEngineStartedAndEndsIt) {
    ServiceCase s;
    SplitDriver driver(s.m);
    driver.start();
    std::string request = write_split_request(s.m, "xray", {});

    const std::string message = "SPLIT_REDIRECT_EMPTY_POLICY: split redirect policy has no applications";
    EXPECT_EQ(s.ask(s.connect_request(request)), compact("error", message));
    EXPECT_TRUE(ran(s.m, "xray run|-config|"));
    EXPECT_EQ(driver.diagnostics()["accepted"], 0);  // nothing reached the driver
    // The engine this connect started is gone with it.
    EXPECT_FALSE(port_open(18082));
    EXPECT_FALSE(fs::exists(service_runtime() / "product-xray.pid"));
}

// The stand-in driver checks what it is sent as the real one would: the records our encoder
// writes are accepted, damaged ones refused.
TEST(SplitDriver, AcceptsEncodedPoliciesAndRefusesDamagedOnes) {
    WineMachine m(case_name());
    m.start_idle("keeper.exe", 600);
    SplitDriver driver(m);
    driver.start();

    auto policy = build_redirect_policy({"C:\\B\\b.exe", "C:\\A\\app.exe"}, 4242, 50123);
    ASSERT_TRUE(policy.ok());
    policy = attach_root_processes(*policy, {500, 12, 500});
    ASSERT_TRUE(policy.ok());
    std::string record = *encode_redirect_policy(*policy);

    auto patched = [&](std::initializer_list<std::pair<size_t, char>> bytes) {
        std::string copy = record;
        for (auto [offset, byte] : bytes) copy[offset] = byte;
        return copy;
    };
    std::string unterminated = record;
    for (size_t unit = 0; unit < 520; ++unit) unterminated[276 + 8 + 2 * unit] = 'x';
    struct Case {
        const char* what;
        std::string record;
        int rc;
    };
    const Case cases[] = {
        {"encoded", record, 0},
        {"version 3", patched({{0, 3}}), 3},
        {"one byte short", record.substr(0, record.size() - 1), 3},
        {"header only", record.substr(0, 276), 3},
        {"count says three", patched({{12, 3}}), 3},
        {"roots out of order", patched({{23, 0x7F}}), 3},
        {"port 0", patched({{8, 0}, {9, 0}}), 3},
        {"path without terminator", unterminated, 3},
        {"entry index 1 first", patched({{276, 1}}), 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(driver.send_policy(c.record), c.rc);
    }
    json held = driver.diagnostics();
    EXPECT_EQ(held["tracked"], 2);
    EXPECT_EQ(held["applications"], 2);
    EXPECT_EQ(held["port"], 50123);
    EXPECT_EQ(held["accepted"], 1);
    EXPECT_EQ(m.run({windows_path(m.machine() / "driver-query.exe"), "clear"}).rc, 0);
    EXPECT_EQ(driver.diagnostics()["tracked"], 0);
}

}  // namespace
}  // namespace vorn::wine
