// The support report from the real executable on the simulated machine: after full and split
// connects, with the tunnel down and with no runtime directory at all.

#include <gtest/gtest.h>

#include <fstream>

#include "common/text.h"
#include "service/diagnostics.h"
#include "service_case.h"

namespace vorn::wine {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// What the request carries and the report must never show, as written or in lower case.
const std::vector<std::string> kSecrets = {
    "3f8a1c2e-9b4d-4e7f-a6c5-0d2b8e1f7a93", "Tr0ub4dor&3-horse", "Xk3vQ9pLr2Tz8WmN4bYc6HdJ1sAfE7gUoKiZ5nRtV0M",
    "6ba85179e30d4fc2", "48213577", "203-0-113-7.sslip.io", "203.0.113.7", "Zelda Quill"};

// A request in a user's profile folder of the prefix; its Windows path.
std::string write_profile_request(const std::string& transport, const std::string& mode, const std::string& app = "") {
    json rules = json::array();
    if (!app.empty()) rules.push_back({{"enabled", true}, {"mode", "throughVpn"}, {"appPath", app}});
    json request = {
        {"tunnelMode", mode},
        {"transport", transport},
        {"config",
         {{"server",
           {{"host", "203-0-113-7.sslip.io"}, {"port", 443}, {"sni", "vpn.example.com"},
            {"realityPublicKey", "Xk3vQ9pLr2Tz8WmN4bYc6HdJ1sAfE7gUoKiZ5nRtV0M"}, {"shortId", "6ba85179e30d4fc2"}}},
          {"user", {{"uuid", "3f8a1c2e-9b4d-4e7f-a6c5-0d2b8e1f7a93"}, {"password", "Tr0ub4dor&3-horse"}, {"recoveryPin", "48213577"}}},
          {"flow", "xtls-rprx-vision"}}},
        {"splitTunnelPolicy", {{"rules", rules}}}};
    write_text(fs::path(VORN_WINE_PREFIX) / "drive_c" / "users" / "Zelda Quill" / "Documents" / "request.json", request.dump(2));
    return "C:\\users\\Zelda Quill\\Documents\\request.json";
}

// A chatty engine: its log names the server, wraps the uuid and quotes the key in lower case.
void append_engine_chatter(const fs::path& log) {
    std::ofstream(log, std::ios::binary | std::ios::app)
        << "[Warning] vless: user 3f8a1c2e-9b4d-4e7f-a6c5-\r\n0d2b8e1f7a93 rejected by 203-0-113-7.sslip.io "
           "(203.0.113.7:443), key xk3vq9plr2tz8wmn4byc6hdj1safe7guokiz5nrtv0m, config "
           "C:\\users\\Zelda Quill\\Documents\\request.json\r\n";
}

void check_report(const std::string& report, const std::vector<std::string>& present) {
    size_t at = 0;
    for (std::string_view title : diagnostics_section_titles()) {
        at = report.find("\n== " + std::string(title) + " ==\n", at);
        EXPECT_NE(at, std::string::npos) << title << "\n" << report;
    }
    for (const std::string& secret : kSecrets) {
        EXPECT_FALSE(contains(report, secret)) << secret;
        EXPECT_FALSE(contains(to_ascii_lower(report), to_ascii_lower(secret))) << secret;
    }
    for (const std::string& line : present) EXPECT_TRUE(contains(report, line)) << line << "\n" << report;
}

std::string written_to(const std::string& state, const std::string& where) {
    return compact(state, "Vorn diagnostics report written to " + where) + "\n";
}

TEST(Diagnostics, AfterAFullConnectOverEachTransport) {
    for (std::string transport : {"xray", "hysteria2", "tuic"}) {
        SCOPED_TRACE(transport);
        WineMachine m(case_name());
        RunResult up = m.service({"connect", "--request", write_profile_request(transport, "full")});
        ASSERT_EQ(up.rc, 0) << up.out << up.err;
        append_engine_chatter(m.runtime() / "product-xray-stderr.log");
        const std::string status = read_text(m.runtime() / "product-tunnel-status.json");
        const std::string xray_pid = read_text(m.runtime() / "product-xray.pid");

        const fs::path report = m.program_data().parent_path() / "report.txt";
        RunResult r = m.service({"diagnostics", "--out", windows_path(report)});
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(r.out, written_to("connected", windows_path(report)));
        std::vector<std::string> present = {
            "live: yes (product-xray.pid names running process " + xray_pid + ")",
            "product-xray.pid: process " + xray_pid + ", running xray.exe: matches",
            "[\n  \"<server>\",\n  \"198.51.100.20\",\n  \"1.1.1.1\",\n  \"8.8.8.8\"\n]",
            "      <server>  255.255.255.255      192.168.1.1     192.168.1.23      1",
            "        128.0.0.0        128.0.0.0       172.19.0.1       172.19.0.1      1",
            "tunnel adapter (\"Xray Tunnel\" or VornVPN): present",
            "Xray 1.8.0 (Vorn simulated machine) started",
            "user <redacted> rejected by <server> (<server>:443), key <redacted>, config C:\\users\\<user>\\Documents",
            "saved request path: C:\\users\\<user>\\Documents\\request.json",
            "the request file was read;",
            "Statically Configured DNS Servers:    1.1.1.1",
            "full-tunnel firewall: standing",
            "> sc.exe query VornTunnelService (exit code: ",
        };
        if (transport != "xray") {
            std::string pid_file = transport == "tuic" ? "product-tuic.pid" : "product-hysteria.pid";
            std::string image = transport == "tuic" ? "tuic.exe" : "hysteria.exe";
            present.push_back(pid_file + ": process " + read_text(m.runtime() / pid_file) + ", running " + image + ": matches");
        }
        check_report(read_text(report), present);
        // Looking changed nothing: the same record, the tunnel still up.
        EXPECT_EQ(read_text(m.runtime() / "product-tunnel-status.json"), status);
        EXPECT_TRUE(tunnel_routes_up(m));
        EXPECT_TRUE(port_open(18089));
    }
}

TEST(Diagnostics, AfterASplitConnectThroughTheService) {
    ServiceCase s;
    WineMachine& m = s.m;
    const char* driver = "VornSplitCallout";
    (void)m.run({"sc.exe", "delete", driver});
    fs::path drivers = fs::path(VORN_WINE_PREFIX) / "drive_c" / "windows" / "system32" / "drivers";
    fs::create_directories(drivers);
    fs::copy_file(fs::path(VORN_WINDOWS_BIN_DIR) / "VornSplitCallout.sys", drivers / "VornSplitCallout.sys",
                  fs::copy_options::overwrite_existing);
    ASSERT_EQ(m.run({"sc.exe", "create", driver, "type=", "kernel", "binPath=",
                     "C:\\windows\\system32\\drivers\\VornSplitCallout.sys"}).rc, 0);
    m.start_idle("browser.exe");
    std::string request = write_profile_request("xray", "split", windows_path(m.machine() / "browser.exe"));
    std::string answer = s.ask(s.connect_request(request));
    ASSERT_EQ(answer.rfind("{\"status\":\"connected\"", 0), 0u) << answer;
    append_engine_chatter(service_runtime() / "product-xray-stderr.log");

    // The service's runtime directory, as an administrator's command line on Windows finds it.
    const fs::path report = m.program_data().parent_path() / "split-report.txt";
    RunResult r = m.run({windows_path(m.machine() / "launch.exe"), "--set", "ProgramData=C:\\users\\Public", "--",
                         m.service_exe(), "diagnostics", "--out", windows_path(report)});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, written_to("connected", windows_path(report)));
    const std::string xray_pid = read_text(service_runtime() / "product-xray.pid");
    check_report(read_text(report),
                 {"product-xray.pid: process " + xray_pid + ", running xray.exe: matches",
                  "engine processes running: xray.exe (pid " + xray_pid + ")", "service VornSplitCallout: running",
                  "tracked processes: 1", "\"address\": \"<server>\"", "\"publicKey\": \"<redacted>\"",
                  "filter {56A51FF2-6E39-4C1F-8F69-2E1D2CC40040} (IPv4, slot 64)",
                  "product-route-exceptions.json: absent: no route exceptions are recorded",
                  "> route print (exit code: 0)", "STATE              : 4  RUNNING",
                  "user <redacted> rejected by <server> (<server>:443)",
                  "saved request path: C:\\users\\<user>\\Documents\\request.json"});

    EXPECT_EQ(s.ask(R"({"command":"disconnect"})"), compact("idle", "Vorn product tunnel disconnected"));
    (void)m.run({"sc.exe", "stop", driver});
    (void)m.run({"sc.exe", "delete", driver});
}

TEST(Diagnostics, WithoutARuntimeDirectoryWithTheTunnelDownAndWithoutRights) {
    WineMachine m(case_name());
    RunResult missing = m.service({"diagnostics"});
    EXPECT_EQ(missing.rc, 0) << missing.err;
    std::vector<std::string> lines = lines_of(missing.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back() + "\n", written_to("idle", "standard output"));
    check_report(missing.out, {"VornVPN: does not exist", "product-tunnel-status.json: the runtime directory does not exist",
                               "recorded status: none", "tunnel adapter (\"Xray Tunnel\" or VornVPN): absent",
                               "none of the product's WFP objects exists"});
    EXPECT_FALSE(fs::exists(m.program_data() / "VornVPN"));

    fs::create_directories(m.runtime());     // as install leaves them
    ASSERT_EQ(m.service({"status"}).rc, 0);  // the tunnel is down; the status is recorded
    const std::string status = read_text(m.runtime() / "product-tunnel-status.json");
    const fs::path report = m.program_data().parent_path() / "report.txt";
    RunResult down = m.service({"diagnostics", "--out", windows_path(report)});
    EXPECT_EQ(down.rc, 0) << down.err;
    EXPECT_EQ(down.out, written_to("idle", windows_path(report)));
    check_report(read_text(report), {"recorded status: idle", "live: no (", "product-xray.pid: absent",
                                     "product-route-exceptions.json: absent", "engine processes running: none"});

    m.set_fault("notAdmin", true);
    RunResult refused = m.service({"diagnostics"});
    const std::string message = "ADMIN_REQUIRED: diagnostics requires elevated administrator privileges";
    EXPECT_EQ(refused.rc, 1);
    EXPECT_EQ(refused.out, compact("error", message) + "\n");
    EXPECT_EQ(refused.err, message + "\n");
    EXPECT_EQ(read_text(m.runtime() / "product-tunnel-status.json"), status);
}

}  // namespace
}  // namespace vorn::wine
