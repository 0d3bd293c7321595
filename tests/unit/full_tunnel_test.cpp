#include <gtest/gtest.h>

#include "common/files.h"
#include "common/operator_settings.h"
#include "common/text.h"
#include "fakes.h"
#include "full_tunnel/probes.h"
#include "full_tunnel/route_exceptions.h"
#include "full_tunnel/route_parsers.h"
#include "full_tunnel/routes.h"
#include "full_tunnel/wintun.h"
#include "split_tunnel/wfp_cleanup.h"
#include "tunnel_core/conflicting_vpn.h"
#include "tunnel_core/tunnel_interface.h"

namespace vorn {
namespace {

using nlohmann::json;
using testing::FakeChild;
using testing::FakePlatform;
using testing::fixture;
using testing::ToolCall;
namespace fs = std::filesystem;

TEST(ResolveRouteHost, StrictFormWildcardSuffixThenResolver) {
    struct Case {
        const char* host;
        std::optional<std::string> address;
        bool looked_up;
    };
    const Case cases[] = {
        {"203.0.113.7", "203.0.113.7", false},
        {"203-0-113-7.sslip.io", "203.0.113.7", false},
        {"203-0-113-7", "203.0.113.7", false},
        {"203-0-113-700.sslip.io", std::nullopt, true},
        {"010-0-0-+1.sslip.io", "10.0.0.1", false},  // canonical: `route` could read "010" as octal
        {"010-000-000-001.sslip.io", "10.0.0.1", false},
        {"odd.example.com", std::nullopt, true},  // the resolver's answer is not a canonical quad
        {"203-0-113-7.SSLIP.IO", std::nullopt, true},  // the suffix match is case-sensitive
        {"vpn.example.com", "198.51.100.77", true},
        {"203.0.113.07", std::nullopt, true},  // leading zero: not the strict form
        {"1.2.3.4.5", std::nullopt, true},
        {"256.1.1.1", std::nullopt, true},
    };
    for (const Case& c : cases) {
        testing::FakeNetwork net;
        net.dns["vpn.example.com"] = "198.51.100.77";
        if (!c.address) net.dns[c.host] = std::nullopt;
        net.dns["odd.example.com"] = "010.1.1.1";
        EXPECT_EQ(resolve_route_host(net, c.host), c.address) << c.host;
        EXPECT_EQ(!net.lookups.empty(), c.looked_up) << c.host;
    }
}

TEST(DefaultRoute, ParsesObjectsAndArraysAndRefusesTheRest) {
    struct Case {
        const char* output;
        std::optional<std::string> hop;
        std::string index;
    };
    const Case cases[] = {
        {R"({"NextHop":"192.168.1.1","ifIndex":12})", "192.168.1.1", "12"},
        {" [{\"NextHop\":\"10.0.0.1\",\"ifIndex\":3},{\"NextHop\":\"x\",\"ifIndex\":4}]\r\n", "10.0.0.1", "3"},
        {R"({"NextHop":"192.168.1.1","IfIndex":"12"})", "192.168.1.1", "12"},
        {R"({"NextHop":"192.168.1.1","IfIndex":7,"ifIndex":9})", "192.168.1.1", "7"},
        {R"({"NextHop":"0.0.0.0","ifIndex":12})", std::nullopt, ""},
        {R"({"NextHop":"","ifIndex":12})", std::nullopt, ""},
        {R"({"NextHop":"192.168.1.1","ifIndex":-1})", std::nullopt, ""},
        {R"({"NextHop":"192.168.1.1","ifIndex":1.5})", std::nullopt, ""},
        {R"({"NextHop":"192.168.1.1","ifIndex":""})", std::nullopt, ""},
        {R"({"NextHop":"192.168.1.1"})", std::nullopt, ""},
        {"[]", std::nullopt, ""},
        {"", std::nullopt, ""},
        {"WARNING: not json", std::nullopt, ""},
    };
    for (const Case& c : cases) {
        auto route = parse_default_route(c.output);
        ASSERT_EQ(route.has_value(), c.hop.has_value()) << c.output;
        if (route) {
            EXPECT_EQ(route->next_hop, *c.hop);
            EXPECT_EQ(route->interface_index, c.index);
        }
    }
    EXPECT_EQ(parse_default_route(fixture("route-print.txt")), std::nullopt);
}

TEST(TunnelInterface, IndexFromTheInterfaceList) {
    EXPECT_EQ(find_tunnel_interface_index(fixture("route-print.txt")), "23");
    EXPECT_EQ(find_tunnel_interface_index(fixture("route-print-idle.txt")), std::nullopt);
    EXPECT_EQ(find_tunnel_interface_index("  23...00 ff 6d 9c 4a 1b ......Xray Tunnel\r\n"), "23");
    EXPECT_EQ(find_tunnel_interface_index("Xray Tunnel\r\n 7...Xray Tunnel 2\r\n"), "7");
    EXPECT_EQ(find_tunnel_interface_index(" x1...Xray Tunnel\r\n"), std::nullopt);
    EXPECT_TRUE(lists_tunnel_interface(fixture("route-print.txt")));
    EXPECT_FALSE(lists_tunnel_interface(fixture("route-print-idle.txt")));
    EXPECT_TRUE(lists_tunnel_interface("  5...........................VornVPN-1700000000000\r\n"));
}

TEST(RouteExceptions, CompactArray) {
    EXPECT_EQ(render_route_exceptions({"203.0.113.7", "198.51.100.20", "1.1.1.1", "8.8.8.8"}).value(),
              R"(["203.0.113.7","198.51.100.20","1.1.1.1","8.8.8.8"])");
}

TEST(RunNetworkCommand, DetailFromStderrThenStdoutThenExitStatus) {
    struct Case {
        std::vector<std::string> command;
        Result<ToolRun> run;
        std::string error;
    };
    const Case cases[] = {
        {{}, ToolRun{0, "", ""}, "empty network command"},
        {{"route", "add"}, ToolRun{0, "", ""}, ""},
        {{"netsh", "x"}, ToolRun{1, "The filename, directory name, or volume label syntax is incorrect.\r\n\r\n", ""},
         "full tunnel network command failed: The filename, directory name, or volume label syntax is incorrect."},
        {{"netsh", "x"}, ToolRun{1, "out", " err \r\n"}, "full tunnel network command failed: err"},
        {{"route", "x"}, ToolRun{3221225477u, " ", ""}, "full tunnel network command failed: route exited with exit code: 0xc0000005"},
        {{"route", "x"}, fail("The system cannot find the file specified. (os error 2)"),
         "could not run route: The system cannot find the file specified. (os error 2)"},
    };
    for (const Case& c : cases) {
        testing::FakeTools tools;
        tools.handler = [&](const ToolCall&) { return c.run; };
        Status result = run_network_command(tools, c.command);
        EXPECT_EQ(result.ok() ? "" : result.error(), c.error);
    }
}

// The simulated machine for the route set-up: default route answer, interface list, and
// whether the half-default routes show.
struct RouteMachine {
    std::string powershell = R"({"NextHop":"192.168.1.1","ifIndex":12})";
    uint32_t powershell_code = 0;
    std::string powershell_err;
    int interface_from = 1;  // route print call that first lists the adapter (0 never)
    int routes_from = 1;     // route-wait attempt that first shows both routes (0 never)
    std::string failing_netsh;
    std::shared_ptr<int> prints = std::make_shared<int>(0);
    std::shared_ptr<int> waits = std::make_shared<int>(0);

    Result<ToolRun> operator()(const ToolCall& call) const {
        if (call.program == "powershell") return ToolRun{powershell_code, powershell, powershell_err};
        if (call.program == "netsh" && !failing_netsh.empty()) return ToolRun{1, failing_netsh, ""};
        if (call.program == "route" && call.args == std::vector<std::string>{"print"}) {
            ++*prints;
            bool listed = interface_from != 0 && *prints >= interface_from;
            return ToolRun{0, listed ? fixture("route-print.txt") : fixture("route-print-idle.txt"), ""};
        }
        if (call.program == "route" && call.args.size() == 2 && call.args[1] == "0.0.0.0") {
            ++*waits;
            bool shown = routes_from != 0 && *waits >= routes_from;
            return ToolRun{0, shown ? fixture("route-print.txt") : fixture("route-print-idle.txt"), ""};
        }
        if (call.program == "route" && call.args.size() == 2 && call.args[1] == "128.0.0.0") {
            bool shown = routes_from != 0 && *waits >= routes_from;
            return ToolRun{0, shown ? fixture("route-print-128.txt") : fixture("route-print-128-none.txt"), ""};
        }
        return testing::quietly(call, {"route add ", "netsh interface ip set "});
    }
};

ProductTunnelRequest request_for(json host) {
    return make_product_tunnel_request("full", "xray", {{"server", {{"host", host}}}}, nullptr);
}

TEST(ConfigureFullTunnelRoutes, ExceptionsThenAdapterThenHalfDefaultsEachConfirmed) {
    FakePlatform f;
    ASSERT_TRUE(create_directories(f.runtime()).ok());
    f.net.dns[std::string(kControlPlaneHost)] = "198.51.100.20";
    RouteMachine machine;
    machine.interface_from = 3;
    f.tools.handler = machine;
    FakeChild xray;
    Status result = configure_full_tunnel_routes(f.platform, request_for("203-0-113-7.sslip.io"), "VornVPN-42", xray);
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(read_file(f.runtime() + "/product-route-exceptions.json").value(),
              R"(["203.0.113.7","198.51.100.20","1.1.1.1","8.8.8.8"])");
    std::vector<std::string> expected = {
        "powershell -NoProfile -ExecutionPolicy Bypass -Command " + std::string(kDefaultRouteScript),
        "route print", "route print", "route print",
        "route add 203.0.113.7 mask 255.255.255.255 192.168.1.1 if 12 metric 1",
        "route add 198.51.100.20 mask 255.255.255.255 192.168.1.1 if 12 metric 1",
        "route add 1.1.1.1 mask 255.255.255.255 192.168.1.1 if 12 metric 1",
        "route add 8.8.8.8 mask 255.255.255.255 192.168.1.1 if 12 metric 1",
        "netsh interface ip set address name=VornVPN-42 static 172.19.0.1 255.255.255.252",
        "netsh interface ip set dns name=VornVPN-42 static 1.1.1.1 primary",
        "route add 0.0.0.0 mask 128.0.0.0 172.19.0.1 if 23 metric 1",
        "route add 128.0.0.0 mask 128.0.0.0 172.19.0.1 if 23 metric 1",
        "route print 0.0.0.0", "route print 128.0.0.0"};
    EXPECT_EQ(f.tools.call_texts(), expected);
    EXPECT_EQ(f.tools.calls[0].args.size(), 5u);  // the script is one argument
    // Two sleeps while the adapter was missing, then the 1.2 s settle.
    EXPECT_EQ(f.clock.sleeps, (std::vector<uint32_t>{100, 100, 1200}));
    EXPECT_EQ(xray.polls, 3);
}

TEST(ConfigureFullTunnelRoutes, FailuresAndWhatRanBeforeThem) {
    struct Case {
        const char* name;
        json host;
        RouteMachine machine;
        std::function<void(FakeChild&)> child;
        std::string error;
        bool exceptions_file;
        size_t route_adds;
    };
    RouteMachine ok;
    RouteMachine zero_hop;
    zero_hop.powershell = R"([{"NextHop":"0.0.0.0","ifIndex":12}])";
    RouteMachine ps_fails;
    ps_fails.powershell_code = 1;
    ps_fails.powershell_err = "  Get-NetRoute : access denied \r\n";
    RouteMachine ps_silent;
    ps_silent.powershell_code = 1;
    RouteMachine no_adapter;
    no_adapter.interface_from = 0;
    RouteMachine netsh_fails;
    netsh_fails.failing_netsh = "The filename, directory name, or volume label syntax is incorrect.\r\n";
    RouteMachine no_routes;
    no_routes.routes_from = 0;
    auto running = [](FakeChild&) {};
    const Case cases[] = {
        {"host missing", 7, ok, running, "could not configure full tunnel: config server host is missing", false, 0},
        {"host unresolved", "nowhere.invalid", ok, running,
         "could not resolve VPN server route host from nowhere.invalid", false, 0},
        {"default route 0.0.0.0", "203.0.113.7", zero_hop, running,
         "could not find Windows default route interface for VPN server exception", false, 0},
        {"powershell stderr", "203.0.113.7", ps_fails, running,
         "could not inspect Windows default route: Get-NetRoute : access denied", false, 0},
        {"powershell silent", "203.0.113.7", ps_silent, running,
         "could not inspect Windows default route: powershell exited with exit code: 1", false, 0},
        {"engine exits while searching", "203.0.113.7", no_adapter,
         [](FakeChild& c) {
             c.exit_after_polls = 2;
             c.exit_code = 23;
         },
         "Xray TUN engine exited before creating interface: exit code: 23: tun: access denied", false, 0},
        {"engine poll fails", "203.0.113.7", no_adapter, [](FakeChild& c) { c.poll_error = "denied"; },
         "could not check Xray TUN interface startup: denied", false, 0},
        {"adapter never listed", "203.0.113.7", no_adapter, running, "could not find Xray Tunnel interface index", false, 0},
        {"netsh fails", "203.0.113.7", netsh_fails, running,
         "full tunnel network command failed: The filename, directory name, or volume label syntax is incorrect.", true, 4},
        {"routes never active", "203.0.113.7", no_routes, running, "full tunnel routes did not become active", true, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        ASSERT_TRUE(create_directories(f.runtime()).ok());
        ASSERT_TRUE(write_file(f.runtime() + "/product-xray-stderr.log", "tun: access denied\n").ok());
        f.net.dns[std::string(kControlPlaneHost)] = "198.51.100.20";
        f.net.dns["nowhere.invalid"] = std::nullopt;
        f.tools.handler = c.machine;
        FakeChild xray;
        c.child(xray);
        Status result = configure_full_tunnel_routes(f.platform, request_for(c.host), "VornVPN-1", xray);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), c.error);
        EXPECT_EQ(file_exists(f.runtime() + "/product-route-exceptions.json"), c.exceptions_file);
        size_t adds = 0;
        for (const auto& call : f.tools.calls) adds += call.program == "route" && call.args[0] == "add";
        EXPECT_EQ(adds, c.route_adds);
    }
}

TEST(ConfigureFullTunnelRoutes, PollCountsOfTheBoundedWaits) {
    FakePlatform f;
    ASSERT_TRUE(create_directories(f.runtime()).ok());
    f.net.dns[std::string(kControlPlaneHost)] = "1.1.1.1";
    RouteMachine never;
    never.interface_from = 0;
    f.tools.handler = never;
    FakeChild xray;
    (void)configure_full_tunnel_routes(f.platform, request_for("1.1.1.1"), "T", xray);
    EXPECT_EQ(f.tools.count("route"), 100u);
    EXPECT_EQ(f.clock.sleeps, std::vector<uint32_t>(100, 100));

    FakePlatform g;
    RouteMachine late;
    late.routes_from = 4;
    g.tools.handler = late;
    ASSERT_TRUE(wait_for_full_tunnel_routes(g.platform).ok());
    EXPECT_EQ(g.clock.sleeps, (std::vector<uint32_t>{100, 100, 100, 1200}));
    EXPECT_EQ(g.tools.count("route"), 8u);

    FakePlatform h;
    RouteMachine none;
    none.routes_from = 0;
    h.tools.handler = none;
    EXPECT_EQ(wait_for_full_tunnel_routes(h.platform).error(), "full tunnel routes did not become active");
    EXPECT_EQ(h.clock.sleeps, std::vector<uint32_t>(30, 100));
}

TEST(ConfigureFullTunnelRoutes, ServerAtAPublicResolverIsListedOnce) {
    FakePlatform f;
    ASSERT_TRUE(create_directories(f.runtime()).ok());
    f.net.dns[std::string(kControlPlaneHost)] = "198.51.100.20";
    f.tools.handler = RouteMachine{};
    FakeChild xray;
    ASSERT_TRUE(configure_full_tunnel_routes(f.platform, request_for("1.1.1.1"), "T", xray).ok());
    EXPECT_EQ(read_file(f.runtime() + "/product-route-exceptions.json").value(),
              R"(["1.1.1.1","198.51.100.20","8.8.8.8"])");
}

TEST(ConflictingVpn, NamesAsListedOncePerName) {
    struct Case {
        std::string listing;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {fixture("tasklist-csv.txt"), {}},
        {"\"OpenVPN.EXE\",\"1\"\r\n", {"OpenVPN.EXE"}},
        {"\"nordvpn.exe\",\"1\"\r\n\"NordVPN.exe\",\"2\"\r\n\"wireguard.exe\",\"3\"\r\n", {"nordvpn.exe", "wireguard.exe"}},
        {"\r\n   \r\nopenvpn.exe,5\r\n\"myopenvpn.exe\",\"6\"\r\n\"openvpn.exe.old\",\"7\"\r\n", {"openvpn.exe"}},
        {"\"surfshark.exe\",\"1\"\r\n\"ExpressVPN.exe\",\"2\"\r\n\"ProtonVPN.exe\",\"3\"\r\n\"itopvpn.exe\",\"4\"\r\n",
         {"surfshark.exe", "ExpressVPN.exe", "ProtonVPN.exe", "itopvpn.exe"}},
    };
    for (const Case& c : cases) EXPECT_EQ(find_conflicting_vpn_processes(c.listing), c.names) << c.listing;
}

TEST(ConflictingVpn, PreflightMessages) {
    struct Case {
        Result<ToolRun> run;
        std::string error;
    };
    const Case cases[] = {
        {ToolRun{0, fixture("tasklist-csv.txt"), ""}, ""},
        {ToolRun{0, "\"wireguard.exe\",\"1\"\r\n\"openvpn.exe\",\"2\"\r\n\"WireGuard.exe\",\"3\"\r\n", ""},
         "CONFLICTING_VPN_ACTIVE: close other VPN clients before starting Vorn VPN: wireguard.exe, openvpn.exe"},
        {ToolRun{1, "", "ERROR"}, "could not inspect running VPN processes: tasklist exited with exit code: 1"},
        {fail("not found"), "could not inspect running VPN processes: not found"},
    };
    for (const Case& c : cases) {
        testing::FakeTools tools;
        tools.handler = [&](const ToolCall& call) {
            EXPECT_EQ(call.text(), "tasklist /FO CSV /NH");
            return c.run;
        };
        Status result = check_conflicting_vpn(tools);
        EXPECT_EQ(result.ok() ? "" : result.rendered(), c.error);
    }
}

TEST(Probes, CondenseDropsBlankLinesAndKeepsEighty) {
    std::string text;
    for (int i = 0; i < 100; ++i) text += "line " + std::to_string(i) + "\r\n \r\n\r\n";
    std::string condensed = condense_command_output(text);
    EXPECT_EQ(split_lines(condensed).size(), 80u);
    EXPECT_EQ(condensed.substr(0, 14), "line 0\nline 1\n");
    EXPECT_EQ(condense_command_output("  a \r\n\r\nb"), "  a \nb");
}

TEST(Probes, CurlArgumentsAndTargets) {
    ASSERT_EQ(probe_targets().size(), 2u);
    EXPECT_EQ(probe_targets()[0].label, "cloudflare");
    EXPECT_EQ(probe_targets()[1].label, "youtube");
    for (const ProbeTarget& t : probe_targets()) {
        auto args = curl_probe_arguments(t);
        ASSERT_EQ(args.size(), 13u);
        EXPECT_EQ(args[6], std::string(t.host) + ":443:" + std::string(t.pinned_address));
        EXPECT_TRUE(is_strict_ipv4(t.pinned_address));
        EXPECT_EQ(std::string(t.url).rfind("https://" + std::string(t.host) + "/", 0), 0u);
    }
    auto args = curl_probe_arguments(probe_targets()[0]);
    EXPECT_EQ(std::vector<std::string>(args.begin(), args.begin() + 6),
              (std::vector<std::string>{"--silent", "--show-error", "--ssl-no-revoke", "--proxy",
                                        "http://127.0.0.1:18089", "--resolve"}));
    EXPECT_EQ(std::vector<std::string>(args.begin() + 7, args.end() - 1),
              (std::vector<std::string>{"--connect-timeout", "8", "--max-time", "12", "-I"}));
}

const std::string kExplanation =
    "\nXray local proxy accepted the probe, but the HTTPS probe timed out after full-tunnel routes were "
    "installed. This usually points to a client routing/full-tunnel conflict, a competing VPN filter, or a "
    "route exception that Windows is not applying to Xray egress.";

TEST(Probes, OutcomesAndTheFailureReport) {
    struct Case {
        const char* name;
        int inbound_from;
        std::vector<Result<ToolRun>> curl;  // per probe, in order
        bool diagnostics_fail;
        std::string error;
        size_t curl_runs;
    };
    const std::string report =
        "\nactive VPN processes: OpenVPN.exe"
        "\nroute to VPN server (203.0.113.7):\nActive Routes:\n      203.0.113.7  255.255.255.255      192.168.1.1     192.168.1.23      1"
        "\ndefault route snapshot:\nActive Routes:\n          0.0.0.0          0.0.0.0      192.168.1.1     192.168.1.23     25"
        "\nfull tunnel high route snapshot:\nActive Routes:\n  None";
    const Case cases[] = {
        {"both succeed", 3, {ToolRun{0, "HTTP/2 200", ""}, ToolRun{0, "", ""}}, false, "", 2},
        {"first times out", 1, {ToolRun{28, "", "curl: (28) Operation timed out after 12001 milliseconds with 0 bytes received\r\n"}},
         false,
         "XRAY_PROXY_PROBE_FAILED: full tunnel HTTPS probe failed: cloudflare: curl: (28) Operation timed out after "
         "12001 milliseconds with 0 bytes received" + kExplanation + report, 1},
        {"second exits silently", 1, {ToolRun{0, "", ""}, ToolRun{35, "", ""}}, true,
         "XRAY_PROXY_PROBE_FAILED: full tunnel HTTPS probe failed: youtube: curl.exe exited with exit code: 35" + kExplanation, 2},
        {"curl cannot start", 1, {fail("The system cannot find the file specified. (os error 2)")}, false,
         "XRAY_PROXY_PROBE_FAILED: could not run cloudflare full tunnel HTTPS probe: The system cannot find the file "
         "specified. (os error 2)", 1},
        {"inbound never opens", 0, {}, false,
         "XRAY_PROXY_PROBE_FAILED: Xray probe HTTP inbound did not open on 127.0.0.1:18089", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        f.net.accept_from = c.inbound_from;
        size_t curl_index = 0;
        f.tools.handler = [&](const ToolCall& call) -> Result<ToolRun> {
            if (call.program == "curl.exe") return c.curl.at(curl_index++);
            if (c.diagnostics_fail) return ToolRun{1, "", ""};
            if (call.program == "tasklist") return ToolRun{0, "\"OpenVPN.exe\",\"9\"\r\n\"svchost.exe\",\"1\"\r\n", ""};
            if (call.args.at(1) == "203.0.113.7") {
                return ToolRun{0, "Active Routes:\r\n\r\n      203.0.113.7  255.255.255.255      192.168.1.1     192.168.1.23      1\r\n", ""};
            }
            if (call.args.at(1) == "0.0.0.0") {
                return ToolRun{0, "Active Routes:\r\n          0.0.0.0          0.0.0.0      192.168.1.1     192.168.1.23     25\r\n", ""};
            }
            if (call.text() == "route print 128.0.0.0") return ToolRun{0, "Active Routes:\r\n  None\r\n", ""};
            return testing::unscripted_run(call);
        };
        Status result = probe_full_tunnel(f.platform, "203-0-113-7.sslip.io");
        EXPECT_EQ(result.ok() ? "" : result.rendered(), c.error);
        EXPECT_EQ(f.tools.count("curl.exe"), c.curl_runs);
        if (c.inbound_from == 3) {
            EXPECT_EQ(f.clock.sleeps, (std::vector<uint32_t>{100, 100}));
        }
        if (c.inbound_from == 0) {
            EXPECT_EQ(f.net.attempts.size(), 50u);
        }
    }
}

// A host that does not resolve is named in the report but never becomes a `route` argument.
TEST(Probes, UnresolvableServerIsReportedByItsHostTextAndNeverRun) {
    FakePlatform f;
    f.net.accept_from = 1;
    f.net.dns["vpn.unknown.example"] = std::nullopt;
    f.tools.handler = [](const ToolCall& call) -> Result<ToolRun> {
        if (call.program == "curl.exe") return ToolRun{7, "", ""};
        return ToolRun{0, call.text(), ""};
    };
    Status result = probe_full_tunnel(f.platform, "vpn.unknown.example");
    EXPECT_NE(result.error().find("\nroute to VPN server: vpn.unknown.example did not resolve\n"), std::string::npos)
        << result.error();
    for (const std::string& call : f.tools.call_texts()) EXPECT_EQ(call.find("vpn.unknown.example"), std::string::npos) << call;
}

TEST(Wintun, SearchOrderAndTheEmbeddedCopy) {
    struct Case {
        const char* name;
        std::optional<std::string> env;  // relative to the temp root, "" for empty
        bool beside_exe;
        bool at_runtime;
        std::string chosen;  // "env", "exe", "runtime"
        bool untrusted_runtime = false;  // someone else owns or may write the runtime copy
    };
    const Case cases[] = {
        {"nothing: written out", std::nullopt, false, false, "runtime"},
        {"beside the executable wins over the runtime copy", std::nullopt, true, true, "exe"},
        {"missing variable path is skipped", "nowhere/wintun.dll", false, true, "runtime"},
        {"empty variable is skipped", "", true, false, "exe"},
        {"existing variable path wins", "custom/w.dll", true, true, "env"},
        {"a foreign runtime copy is written afresh", std::nullopt, false, true, "runtime", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        testing::TempDir root;
        f.files.allow(root.str());
        f.env.app_data = (root.path() / "local").string();
        f.env.exe = (root.path() / "svc" / "svc.exe").string();
        fs::path exe_copy = root.path() / "svc" / "wintun.dll";
        fs::path runtime_copy = root.path() / "local" / "VornVPN" / "runtime" / "wintun.dll";
        if (c.beside_exe) {
            fs::create_directories(exe_copy.parent_path());
            ASSERT_TRUE(write_file(exe_copy.string(), "exe").ok());
        }
        if (c.at_runtime) {
            fs::create_directories(runtime_copy.parent_path());
            ASSERT_TRUE(write_file(runtime_copy.string(), "old").ok());
            if (c.untrusted_runtime) f.files.mark(runtime_copy.string(), true, true);
        }
        if (c.env) {
            f.env.variables["VORN_WINTUN_DLL_PATH"] = c.env->empty() ? "" : (root.path() / *c.env).string();
            if (*c.env == "custom/w.dll") {
                fs::create_directories(root.path() / "custom");
                ASSERT_TRUE(write_file((root.path() / "custom" / "w.dll").string(), "env").ok());
            }
        }
        auto located = locate_wintun_dll(f.platform);
        ASSERT_TRUE(located.ok());
        fs::path expected = c.chosen == "exe" ? exe_copy : c.chosen == "runtime" ? runtime_copy : root.path() / "custom" / "w.dll";
        EXPECT_EQ(fs::path(*located), expected);
        if (c.name[0] == 'n' || c.untrusted_runtime) {
            EXPECT_EQ(read_file(runtime_copy.string()).value(), f.wintun_image);
        } else if (c.at_runtime) {
            EXPECT_EQ(read_file(runtime_copy.string()).value(), "old");  // never refreshed
        }
    }
}

TEST(Wintun, RuntimePathIgnoresProgramDataAndFallsBackToTemp) {
    testing::FakeEnvironment env;
    env.variables["ProgramData"] = "/pd";
    env.app_data = "/local";
    EXPECT_EQ(wintun_runtime_path(env), "/local/VornVPN/runtime/wintun.dll");
    env.app_data.reset();
    env.temp = "/tmp/t";
    EXPECT_EQ(wintun_runtime_path(env), "/tmp/t/VornVPN/runtime/wintun.dll");
}

TEST(Wintun, WriteAndLoadFailuresCarryTheirCodes) {
    FakePlatform f;
    testing::TempDir root;
    f.files.allow(root.str());
    ASSERT_TRUE(write_file((root.path() / "file").string(), "x").ok());
    f.env.app_data = (root.path() / "file").string();  // a file where a folder must be made
    f.env.exe.reset();
    auto located = locate_wintun_dll(f.platform);
    ASSERT_FALSE(located.ok());
    EXPECT_EQ(located.failure().code, "WINTUN_RUNTIME_WRITE_FAILED");
    EXPECT_EQ(located.error().rfind("could not create Wintun runtime directory: ", 0), 0u);

    struct Case {
        uint32_t load_error;
        std::vector<std::string> exports;
        std::string rendered;
    };
    const Case cases[] = {
        {0, {"WintunCreateAdapter", "WintunOpenAdapter", "WintunCloseAdapter", "WintunDeleteDriver"}, ""},
        {5, {}, "WINTUN_DLL_LOAD_FAILED: Windows error 5"},
        {0, {"WintunCreateAdapter", "WintunOpenAdapter", "WintunDeleteDriver"}, "WINTUN_EXPORT_MISSING: Windows error 127"},
    };
    for (const Case& c : cases) {
        FakePlatform g;
        g.dlls.load_error = c.load_error;
        g.dlls.exports = c.exports;
        {
            auto loaded = load_wintun(g.platform, "C:\\w\\wintun.dll");
            EXPECT_EQ(loaded ? "" : loaded.rendered(), c.rendered);
            EXPECT_EQ(g.dlls.live_modules, loaded ? 1 : 0);  // a failed check releases the module
        }
        EXPECT_EQ(g.dlls.live_modules, 0);
    }
}

TEST(Wfp, KeyScheme) {
    EXPECT_EQ(guid_text(wfp_provider_key()), "{56A51FF0-6E39-4C1F-8F69-2E1D2CC40C01}");
    EXPECT_EQ(guid_text(wfp_sublayer_key()), "{56A51FF1-6E39-4C1F-8F69-2E1D2CC40C01}");
    EXPECT_EQ(guid_text(wfp_filter_key(false, 0)), "{56A51FF2-6E39-4C1F-8F69-2E1D2CC40000}");
    EXPECT_EQ(guid_text(wfp_filter_key(false, 127)), "{56A51FF2-6E39-4C1F-8F69-2E1D2CC4007F}");
    EXPECT_EQ(guid_text(wfp_filter_key(true, 5)), "{56A51FF3-6E39-4C1F-8F69-2E1D2CC40005}");
}

TEST(Wfp, RemovalOrderAndEngineOpenFailure) {
    FakePlatform f;
    f.wfp.open_status = 0;
    ASSERT_TRUE(remove_wfp_objects(f.platform).ok());
    // One transaction: the firewall goes whole.
    ASSERT_EQ(f.wfp.calls.size(), testing::kWfpRemovalCalls);
    EXPECT_EQ(f.wfp.calls[0], "open");
    EXPECT_EQ(f.wfp.calls[1], "begin");
    EXPECT_EQ(f.wfp.calls[2], "filter " + std::to_string(0x56A51FF2u) + "/0/0");
    EXPECT_EQ(f.wfp.calls[3], "filter " + std::to_string(0x56A51FF3u) + "/0/0");
    EXPECT_EQ(f.wfp.calls[257], "filter " + std::to_string(0x56A51FF3u) + "/0/127");
    EXPECT_EQ(f.wfp.calls[258], "sublayer " + std::to_string(0x56A51FF1u) + "/12/1");
    EXPECT_EQ(f.wfp.calls[259], "provider " + std::to_string(0x56A51FF0u) + "/12/1");
    EXPECT_EQ(f.wfp.calls[260], "commit");
    EXPECT_EQ(f.wfp.calls[261], "close");

    FakePlatform g;
    g.wfp.open_status = 1753;
    EXPECT_EQ(remove_wfp_objects(g.platform).error(), "FwpmEngineOpen0 failed: Windows error 1753");
    EXPECT_EQ(g.wfp.calls, std::vector<std::string>{"open"});
}

}  // namespace
}  // namespace vorn
