#include <gtest/gtest.h>

#include "common/files.h"
#include "common/operator_settings.h"
#include "fakes.h"
#include "service/live_status.h"
#include "tunnel/network_restore.h"
#include "tunnel_core/process_list.h"
#include "tunnel_core/tunnel_interface.h"

namespace vorn {
namespace {

using testing::FakePlatform;
using testing::ToolCall;

// Output captured from Windows (CR LF line ends).
const char* kRoute128 =
    "===========================================================================\r\n"
    "Interface List\r\n"
    " 23...........................Xray Tunnel\r\n"
    "===========================================================================\r\n"
    "\r\n"
    "IPv4 Route Table\r\n"
    "===========================================================================\r\n"
    "Active Routes:\r\n"
    "Network Destination        Netmask          Gateway       Interface  Metric\r\n"
    "        128.0.0.0        128.0.0.0       172.19.0.1       172.19.0.1      1\r\n"
    "===========================================================================\r\n";
const char* kRoute128None =
    "IPv4 Route Table\r\n"
    "Active Routes:\r\n"
    "  None\r\n";

TEST(FirstCsvField, ReadsQuotedAndBareFields) {
    struct Case {
        const char* line;
        std::optional<std::string> field;
    };
    const Case cases[] = {
        {"\"xray.exe\",\"4242\",\"Services\",\"0\",\"25,432 K\"", "xray.exe"},
        {"  \"\",\"1\"", ""},
        {"\"unterminated", std::nullopt},
        {"bare , rest", "bare"},
        {"whole line", "whole line"},
        {"   ", std::nullopt},
        {" ,x", std::nullopt},
        {"INFO: No tasks are running which match the specified criteria.",
         "INFO: No tasks are running which match the specified criteria."},
    };
    for (const Case& c : cases) EXPECT_EQ(first_csv_field(c.line), c.field) << c.line;
}

TEST(ProcessChecks, TasklistAndRouteOutputDecisions) {
    EXPECT_TRUE(lists_xray_image("\"XRAY.EXE\",\"4242\",\"Services\",\"0\",\"1 K\"\r\n"));
    EXPECT_FALSE(lists_xray_image("INFO: No tasks are running which match the specified criteria.\r\n"));
    EXPECT_FALSE(lists_xray_image("\"xray.exe.bak\",\"1\"\r\n"));
    EXPECT_TRUE(has_tunnel_route(kRoute128));
    EXPECT_FALSE(has_tunnel_route(kRoute128None));
    EXPECT_FALSE(has_tunnel_route("        128.0.0.0        128.0.0.0       172.19.0.1\r\n"));  // 3 tokens
    EXPECT_FALSE(has_tunnel_route("        128.0.0.0        128.0.0.0      192.168.1.1  192.168.1.23  1\r\n"));
}

// A scripted machine: which process ids run, what tasklist prints for xray.exe, what route
// prints for 128.0.0.0.
struct Machine {
    std::vector<uint32_t> running;
    std::string xray_rows;
    bool tasklist_fails = false;
    std::string route_output = kRoute128None;

    Result<ToolRun> operator()(const ToolCall& call) const {
        if (call.program == "tasklist") {
            if (tasklist_fails) return ToolRun{1, "", "ERROR"};
            const std::string& filter = call.args.at(1);
            if (filter.rfind("PID eq ", 0) == 0) {
                for (uint32_t pid : running) {
                    if (filter == "PID eq " + std::to_string(pid)) {
                        return ToolRun{0, "\"xray.exe\",\"" + std::to_string(pid) + "\",\"Services\",\"0\",\"1 K\"\r\n", ""};
                    }
                }
                return ToolRun{0, "INFO: No tasks are running which match the specified criteria.\r\n", ""};
            }
            return ToolRun{0, xray_rows, ""};
        }
        if (call.program == "route" && call.args.at(0) == "print") return ToolRun{0, route_output, ""};
        return testing::quietly(call);
    }
};

TEST(QueryLiveStatus, DecisionTable) {
    const std::string kXrayRow = "\"XRAY.EXE\",\"77\",\"Services\",\"0\",\"1 K\"\r\n";
    struct Case {
        const char* name;
        std::optional<std::string> saved;  // status file text
        std::optional<std::string> pid_file;
        Machine machine;
        TunnelStatus expected;
        bool written;     // the result was recorded
        bool xray_check;  // the image check ran
    };
    const std::string connected = R"({"status":"connected","message":"Vorn product tunnel started in full mode over xray"})";
    const Case cases[] = {
        {"live pid keeps the saved connected record", connected, "  4242 \r\n", {{4242}, "", false, kRoute128None},
         make_status(TunnelState::Connected, "Vorn product tunnel started in full mode over xray"), false, false},
        {"live pid without a record", std::nullopt, "+4242", {{4242}, "", false, kRoute128None},
         make_status(TunnelState::Connected, "Vorn product tunnel process is running"), false, false},
        {"live pid with a saved error", R"({"status":"error","message":"x"})", "4242", {{4242}, "", false, kRoute128None},
         make_status(TunnelState::Connected, "Vorn product tunnel process is running"), false, false},
        {"xray image plus tunnel route", std::nullopt, std::nullopt, {{}, kXrayRow, false, kRoute128},
         make_status(TunnelState::Connected, "Vorn product tunnel process is running"), false, true},
        {"xray image without the route", std::nullopt, std::nullopt, {{}, kXrayRow, false, kRoute128None},
         make_status(TunnelState::Idle, "Vorn product tunnel service is idle"), true, true},
        {"route without xray", connected, std::nullopt, {{}, "", false, kRoute128},
         make_status(TunnelState::Idle, "Vorn product tunnel process is not running"), true, true},
        {"dead pid and failing tasklist", connected, "4242", {{}, kXrayRow, true, kRoute128},
         make_status(TunnelState::Idle, "Vorn product tunnel process is not running"), true, true},
        {"unparsable pid file is skipped", std::nullopt, "abc", {{4242}, "", false, kRoute128None},
         make_status(TunnelState::Idle, "Vorn product tunnel service is idle"), true, true},
        {"saved error is kept", R"({"status":"error","message":"boom"})", std::nullopt, {},
         make_status(TunnelState::Error, "boom"), true, true},
        {"saved idle is kept", R"({"status":"idle","message":"Vorn product tunnel disconnected"})", std::nullopt, {},
         make_status(TunnelState::Idle, "Vorn product tunnel disconnected"), true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        f.wfp.open_status = 0;  // the filtering engine opens and holds none of our objects
        ASSERT_TRUE(create_directories(f.runtime()).ok());
        std::string status_path = f.runtime() + "/product-tunnel-status.json";
        if (c.saved) {
            ASSERT_TRUE(write_file(status_path, *c.saved).ok());
        }
        if (c.pid_file) {
            ASSERT_TRUE(write_file(f.runtime() + "/product-xray.pid", *c.pid_file).ok());
        }
        ASSERT_TRUE(write_file(f.runtime() + "/product-tuic.pid", "999999").ok());
        f.tools.handler = c.machine;

        LiveStatus live = query_live_status(f.platform);
        EXPECT_EQ(live.report, c.expected);
        EXPECT_EQ(live.tunnel_gone, c.written);
        // The query only looks: nothing is removed, restored or recorded before the repair.
        EXPECT_TRUE(file_exists(f.runtime() + "/product-tuic.pid"));
        EXPECT_EQ(f.tools.count("netsh"), 0u);
        EXPECT_EQ(read_status(f.platform), c.saved ? parse_status(*c.saved) : std::nullopt);
        repair_dead_tunnel(f.platform, live);

        bool xray_check = false;
        for (const auto& call : f.tools.calls) xray_check = xray_check || (call.args.size() > 1 && call.args[1] == "IMAGENAME eq xray.exe");
        EXPECT_EQ(xray_check, c.xray_check);
        auto stored = read_status(f.platform);
        if (c.written) {
            EXPECT_EQ(stored, c.expected);
            EXPECT_FALSE(file_exists(f.runtime() + "/product-xray.pid"));
            EXPECT_FALSE(file_exists(f.runtime() + "/product-tuic.pid"));
            EXPECT_EQ(f.tools.count("netsh"), 2u);
        } else {
            EXPECT_EQ(f.tools.count("route"), c.xray_check ? 1u : 0u);
            EXPECT_TRUE(file_exists(f.runtime() + "/product-tuic.pid"));
            EXPECT_EQ(f.tools.count("netsh"), 0u);
        }
    }
}

TEST(QueryLiveStatus, ToolsRunCapturedWithTheExactArguments) {
    FakePlatform f;
    f.wfp.open_status = 0;  // the filtering engine opens and holds none of our objects
    ASSERT_TRUE(create_directories(f.runtime()).ok());
    ASSERT_TRUE(write_file(f.runtime() + "/product-hysteria.pid", "31").ok());
    f.tools.handler = Machine{{}, "\"xray.exe\",\"5\"\r\n", false, kRoute128None};
    (void)query_live_status(f.platform);
    ASSERT_GE(f.tools.calls.size(), 3u);
    EXPECT_EQ(f.tools.calls[0].text(), "tasklist /FI PID eq 31 /FO CSV /NH");
    EXPECT_EQ(f.tools.calls[1].text(), "tasklist /FI IMAGENAME eq xray.exe /FO CSV /NH");
    EXPECT_EQ(f.tools.calls[2].text(), "route print 128.0.0.0");
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(f.tools.calls[i].stdio, ToolStdio::Capture);
}

TEST(RestoreFullTunnelNetwork, RunsTheCleanupCommandsInOrder) {
    std::vector<std::string> fixed;
    for (auto a : kFixedServerAddresses) fixed.emplace_back(a);
    struct Case {
        const char* name;
        std::optional<std::string> exceptions;
        std::vector<std::string> hosts;
        bool foreign = false;
        std::optional<std::string> next_hop_file = std::nullopt;  // what the connect kept beside the list
        std::string deleted_through = "";  // "" for a delete whatever the gateway
    };
    const Case cases[] = {
        {"no file", std::nullopt, fixed},
        {"array with a fixed address repeated", "[\"203.0.113.7\",\"" + fixed[1] + "\",\"203.0.113.7\"]",
         {"203.0.113.7", fixed[1], fixed[0], fixed[2]}},
        {"object instead of array", R"({"hosts":["203.0.113.7"]})", fixed},
        {"array with a number", R"(["203.0.113.7", 5])", fixed},
        {"whitespace around the array", "\n [\"1.1.1.1\"] \n", {"1.1.1.1", fixed[0], fixed[1], fixed[2]}},
        {"entries that are not IPv4 addresses", R"(["-f", "1.1.1.1", "0.0.0.0 mask 0.0.0.0", "::1", "01.2.3.4"])",
         {"1.1.1.1", fixed[0], fixed[1], fixed[2]}},
        {"a file someone else owns", "[\"203.0.113.7\"]", fixed, true},
        // Only the routes the connect added: another VPN's to the same hosts stay.
        {"next hop kept beside the list", "[\"203.0.113.7\"]", {"203.0.113.7", fixed[0], fixed[1], fixed[2]}, false,
         "192.168.1.1\n", " 192.168.1.1"},
        {"next hop that is no address", "[\"203.0.113.7\"]", {"203.0.113.7", fixed[0], fixed[1], fixed[2]}, false,
         "-f", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        f.wfp.open_status = 0;  // the filtering engine opens and holds none of our objects
        std::string path = f.runtime() + "/product-route-exceptions.json";
        if (c.exceptions) {
            ASSERT_TRUE(create_directories(f.runtime()).ok());
            ASSERT_TRUE(write_file(path, *c.exceptions).ok());
            if (c.foreign) f.files.mark(path, true, false);
        }
        if (c.next_hop_file) {
            ASSERT_TRUE(write_file(f.runtime() + "/product-route-exceptions-next-hop.txt", *c.next_hop_file).ok());
        }
        f.tools.handler = testing::cleanup_commands;
        restore_full_tunnel_network(f.platform);
        std::vector<std::string> expected = {
            "route delete 0.0.0.0 mask 128.0.0.0 172.19.0.1", "route delete 128.0.0.0 mask 128.0.0.0 172.19.0.1",
            "route delete 0.0.0.0 mask 128.0.0.0 172.19.0.1", "route delete 128.0.0.0 mask 128.0.0.0 172.19.0.1",
            "netsh interface ip set address name=VornVPN dhcp",
            "netsh interface ip set dns name=VornVPN dhcp"};
        for (const auto& host : c.hosts) expected.push_back("route delete " + host + " mask 255.255.255.255" + c.deleted_through);
        EXPECT_EQ(f.tools.call_texts(), expected);
        for (const auto& call : f.tools.calls) EXPECT_EQ(call.stdio, ToolStdio::Null);
        EXPECT_FALSE(file_exists(path));
        EXPECT_FALSE(file_exists(f.runtime() + "/product-route-exceptions-next-hop.txt"));
    }
}

}  // namespace
}  // namespace vorn
