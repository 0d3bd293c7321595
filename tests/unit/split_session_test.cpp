#include <gtest/gtest.h>

#include "bin/vorn_tunnel_service/commands.h"
#include "common/files.h"
#include "fakes.h"
#include "service/ipc.h"
#include "split_tunnel/split_session.h"
#include "tunnel_core/status.h"

namespace vorn {
namespace {

using testing::FakePlatform;
using testing::ToolCall;
namespace fs = std::filesystem;

TEST(TrackedRoots, ProcessListingMatches) {
    const std::vector<std::string> apps = {"C:\\Browser\\browser.exe", "C:\\Tools\\tool.exe"};
    struct Case {
        const char* listing;
        std::vector<uint32_t> ids;
    };
    const Case cases[] = {
        {R"({"ProcessId":500,"ExecutablePath":"C:\\Browser\\browser.exe"})", {500}},
        {R"([{"ProcessId":4,"ExecutablePath":null},{"ProcessId":12,"ExecutablePath":"c:\\browser\\BROWSER.EXE"},
            {"ProcessId":500,"ExecutablePath":"C:\\Tools\\tool.exe"},{"ProcessId":12,"ExecutablePath":"C:\\Browser\\browser.exe"},
            {"ProcessId":-3,"ExecutablePath":"C:\\Tools\\tool.exe"},{"ProcessId":"9","ExecutablePath":"C:\\Tools\\tool.exe"},
            {"ProcessId":77,"ExecutablePath":"C:\\Other\\browser.exe"},7])",
         {12, 500, 12}},
        {"", {}},
        {"42", {}},
        // An id past 32 bits names no process: it is not cut down to one that may exist.
        {R"({"ProcessId":4294967297,"ExecutablePath":"C:\\Tools\\tool.exe"})", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(match_root_processes(c.listing, apps), c.ids) << c.listing;
}

struct SplitFixture {
    SplitFixture() {
        fs::create_directories(install.path());
        for (const char* exe : {"xray.exe", "hysteria.exe", "tuic.exe"}) {
            EXPECT_TRUE(write_file((install.path() / exe).string(), "x").ok());
        }
        f.env.exe = (install.path() / "svc.exe").string();
        f.files.allow(install.str());
        f.driver_service.installed = true;
        f.driver_service.states = {DriverServiceState::Running, DriverServiceState::Running};
        f.driver.present = true;
        f.wfp.open_status = 0;
        f.net.other_ports_free = true;
        f.net.accept_from = 1;
        f.processes.launches = 2;
        f.sockets.listenable = 1;
        f.tools.handler = [](const ToolCall& call) -> Result<ToolRun> {
            if (call.program == "powershell.exe") {
                return ToolRun{0, R"([{"ProcessId":500,"ExecutablePath":"C:\\B\\b.exe"},{"ProcessId":12,"ExecutablePath":"C:\\B\\B.EXE"}])", ""};
            }
            if (call.program == "tasklist") return ToolRun{0, "INFO: No tasks are running which match the specified criteria.\r\n", ""};
            return testing::quietly(call, {"route print"});
        };
        EXPECT_TRUE(create_directories(f.runtime()).ok());
    }
    ~SplitFixture() { stop_split_session(f.platform); }

    ProductTunnelRequest request(const std::string& transport, nlohmann::json rules) {
        return make_product_tunnel_request("split", transport, nlohmann::json::object(), {{"rules", rules}});
    }
    nlohmann::json one_app() {
        return nlohmann::json::array({{{"enabled", true}, {"mode", "throughVpn"}, {"appPath", "C:\\B\\b.exe"}}});
    }

    testing::TempDir install;
    FakePlatform f;
};

TEST(SplitSession, StartsWithTheMessageAndTheTrackedCount) {
    SplitFixture s;
    UndoLog undo;
    auto started = start_split_session(s.f.platform, s.request(" xray ", s.one_app()), undo);
    ASSERT_TRUE(started.ok()) << started.error();
    undo.keep();
    EXPECT_EQ(*started,
              "Vorn transparent split tunnel started over  xray  (TCP redirect active; UDP remains direct until UDP "
              "relay is implemented; tracked processes: 2)");
    EXPECT_TRUE(split_session_active());
    ASSERT_EQ(s.f.processes.requests.size(), 1u);
    EXPECT_EQ(s.f.processes.requests[0].args[0], "run");
    EXPECT_EQ(s.f.net.attempts.front(), "127.0.0.1:18082");
    EXPECT_NE(read_file(s.f.runtime() + "/product-xray-tun.json").value().find("split-socks-in"), std::string::npos);
    // The driver holds the policy: this process, the proxy's port, roots 12 and 500.
    ASSERT_EQ(s.f.driver.policy.size(), 276u + 1304u);
    EXPECT_EQ(uint8_t(s.f.driver.policy[4]), 2216 & 0xFF);
    EXPECT_EQ(uint8_t(s.f.driver.policy[20]), 12);
    // Clear the earlier policy, set this one, diagnostics when delivered and once stored.
    EXPECT_EQ(s.f.driver.codes, (std::vector<uint32_t>{0x12A008, 0x12A004, 0x12600C, 0x12600C}));

    stop_split_session(s.f.platform);
    EXPECT_FALSE(split_session_active());
    EXPECT_TRUE(s.f.driver.policy.empty());
}

TEST(SplitSession, FailuresAndWhatIsUndone) {
    struct Case {
        const char* name;
        std::string transport;
        std::function<void(SplitFixture&)> arrange;
        bool empty_rules;
        std::string error;
        bool engines_stopped_after;
        std::vector<uint32_t> ended_by_undo;  // after the failure's own cleanup
    };
    const Case cases[] = {
        {"filtering engine cannot open", "xray", [](SplitFixture& s) { s.f.wfp.open_status = 1753; }, false,
         "FwpmEngineOpen0 failed: Windows error 1753", false, {}},
        {"engine missing", "xray", [](SplitFixture& s) { fs::remove(s.install.path() / "xray.exe"); }, false,
         "xray.exe was not found for product tunnel", false, {}},
        {"unsupported transport", "vless", [](SplitFixture&) {}, false,
         "PRODUCT_TUNNEL_BACKEND_NOT_INSTALLED: VLESS is not supported by product tunnel", false, {}},
        {"proxy cannot listen", "tuic", [](SplitFixture& s) { s.f.sockets.listen_error = "could not bind split redirect listener: in use"; },
         false, "could not bind split redirect listener: in use", false, {4321}},
        {"empty policy", "hysteria2", [](SplitFixture&) {}, true,
         "SPLIT_REDIRECT_EMPTY_POLICY: split redirect policy has no applications", false, {4321}},
        {"no driver service", "xray", [](SplitFixture& s) { s.f.driver_service.installed = false; }, false,
         "SPLIT_DRIVER_START_FAILED: could not open the Vorn split driver service (1060)", true, {4321}},
        {"driver device missing", "xray", [](SplitFixture& s) { s.f.driver.present = false; }, false,
         "SPLIT_DRIVER_UNAVAILABLE: Vorn split redirect driver is not installed or not running", true, {4321}},
        // The driver took the policy: the undo clears it and stops the stored proxy as well.
        {"diagnostics fail after the policy", "tuic", [](SplitFixture& s) { s.f.driver.diagnostics_answers = 1; }, false,
         "SPLIT_DRIVER_IO_FAILED: Vorn split redirect driver rejected the requested operation", false, {4321}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SplitFixture s;
        c.arrange(s);
        auto rules = c.empty_rules ? nlohmann::json::array() : s.one_app();
        UndoLog undo;
        auto started = start_split_session(s.f.platform, s.request(c.transport, rules), undo);
        ASSERT_FALSE(started.ok());
        EXPECT_EQ(started.rendered(), c.error);
        // The failure's own cleanup stops the engines only when the driver failed...
        size_t kills = s.f.tools.count("taskkill");
        EXPECT_EQ(kills > 0, c.engines_stopped_after);
        // ...and the undo ends whatever engine was started, wherever it failed.
        undo.run();
        EXPECT_FALSE(split_session_active());
        EXPECT_TRUE(s.f.driver.policy.empty());
        EXPECT_EQ(s.f.sockets.listens == s.f.sockets.closes || s.f.sockets.listens == 0, true);
        EXPECT_EQ(s.f.processes.ended, c.ended_by_undo);
        EXPECT_FALSE(file_exists(s.f.runtime() + "/product-xray.pid"));
        EXPECT_FALSE(file_exists(s.f.runtime() + "/product-tuic.pid"));
        EXPECT_FALSE(file_exists(s.f.runtime() + "/product-hysteria.pid"));
    }
}

TEST(SplitSession, TwoStartsLeaveOneRuntime) {
    SplitFixture s;
    s.f.sockets.listenable = 2;
    s.f.driver_service.states.resize(4, DriverServiceState::Running);
    UndoLog first, second;
    ASSERT_TRUE(start_split_session(s.f.platform, s.request("xray", s.one_app()), first).ok());
    first.keep();
    ASSERT_TRUE(start_split_session(s.f.platform, s.request("tuic", s.one_app()), second).ok());
    second.keep();
    EXPECT_TRUE(split_session_active());
    EXPECT_EQ(s.f.sockets.listens, 2);
    for (int i = 0; i < 100 && s.f.sockets.closes < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(s.f.sockets.closes, 1);  // the first proxy's listener
}

// The session lives in the service: a disconnect from the command line is handed to it there,
// ends the session there, and leaves the record the service wrote.
TEST(SplitSession, CommandLineDisconnectEndsItInTheService) {
    SplitFixture service;
    UndoLog undo;
    ASSERT_TRUE(start_split_session(service.f.platform, service.request("xray", service.one_app()), undo).ok());
    undo.keep();
    FakePlatform line;
    line.service_client.scripted = true;
    line.service_client.service_pid = 640;
    line.service_client.serve = [&service](const std::string& request) -> Result<std::string> {
        return handle_ipc_request(service.f.platform, request, nullptr);
    };
    EXPECT_EQ(run_command_line(line.platform, {"svc.exe", "disconnect"}), 0);
    const TunnelStatus down = make_status(TunnelState::Idle, "Vorn product tunnel disconnected");
    EXPECT_EQ(line.out.str(), status_to_json(down).value() + "\n");
    EXPECT_FALSE(split_session_active());
    EXPECT_TRUE(service.f.driver.policy.empty());
    for (int i = 0; i < 100 && service.f.sockets.closes < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(service.f.sockets.closes, 1);  // the redirect listener
    EXPECT_EQ(read_status(service.f.platform), down);
    // Nothing is done or recorded by the command line itself.
    EXPECT_FALSE(read_status(line.platform).has_value());
    EXPECT_TRUE(line.tools.calls.empty());
    EXPECT_TRUE(line.driver.codes.empty());
}

}  // namespace
}  // namespace vorn
