#include <gtest/gtest.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "bin/vorn_tunnel_service/commands.h"
#include "common/files.h"
#include "common/text.h"
#include "fakes.h"
#include "service/diagnostics.h"
#include "split_tunnel/wfp_cleanup.h"

namespace vorn {
namespace {

using testing::FakePlatform;
using testing::ToolCall;
using testing::fixture;

const std::string kStatusConnected =
    "{\n  \"status\": \"connected\",\n  \"message\": \"Vorn product tunnel started in full mode over hysteria2\"\n}";
const std::string kRequestPath = "C:\\Users\\Zelda Quill\\Documents\\request.json";

// What the machine's tools answer; a run not listed here is unscripted.
Result<ToolRun> machine_tools(const ToolCall& call) {
    const std::map<std::string, ToolRun> answers = {
        {"net session", {0, "", ""}},
        {"sc.exe query VornTunnelService", {0, "SERVICE_NAME: VornTunnelService\r\n        STATE              : 4  RUNNING\r\n", ""}},
        {"sc.exe qc VornTunnelService", {0, fixture("redact/sc-qc.txt"), ""}},
        {"sc.exe qfailure VornTunnelService", {1060, "[SC] OpenService FAILED 1060:\r\n", ""}},
        {"tasklist /FI PID eq 4321 /FO CSV /NH", {0, "\"xray.exe\",\"4321\",\"Services\",\"0\",\"20,000 K\"\r\n", ""}},
        {"tasklist /FI PID eq 4322 /FO CSV /NH", {0, "\"notepad.exe\",\"4322\",\"Console\",\"1\",\"9,000 K\"\r\n", ""}},
        {"tasklist /FO CSV /NH",
         {0, "\"xray.exe\",\"4321\",\"Services\",\"0\",\"20 K\"\r\n\"hysteria.exe\",\"4400\",\"Services\",\"0\",\"9 K\"\r\n", ""}},
        {"tasklist /FI IMAGENAME eq xray.exe /FO CSV /NH", {0, "INFO: No tasks are running which match the specified criteria.\r\n", ""}},
        {"route print", {0, fixture("redact/route-print.txt"), ""}},
        {"netsh interface ip show config", {0, fixture("redact/netsh-show-config.txt"), ""}},
    };
    auto it = answers.find(call.text());
    return it == answers.end() ? testing::unscripted_run(call) : Result<ToolRun>(it->second);
}

std::string text_of(const std::string& path) {
    auto bytes = read_file(path);
    return bytes ? *bytes : std::string();
}

void put(FakePlatform& f, const std::string& name, const std::string& bytes) {
    ASSERT_TRUE(create_directories(f.runtime()).ok());
    ASSERT_TRUE(write_file(f.runtime() + "/" + name, bytes).ok());
}

// A full tunnel over Hysteria2 as a connect leaves it: files, engines, firewall.
void full_tunnel_up(FakePlatform& f) {
    put(f, "product-tunnel-status.json", kStatusConnected);
    put(f, "product-tunnel-reconnect-request-path.txt", kRequestPath);
    put(f, "product-xray-tun.json", fixture("redact/xray-tun.json"));
    put(f, "product-hysteria.json", fixture("redact/hysteria.json"));
    put(f, "product-xray-stdout.log", "Xray 1.8.0 started\n");
    put(f, "product-xray-stderr.log", fixture("redact/engine-log.txt"));
    put(f, "product-route-exceptions.json", R"(["203.0.113.7","198.51.100.20","1.1.1.1","8.8.8.8"])");
    put(f, "product-tunnel-resolved-hosts.json", R"({"Edge-7.Vorn-Servers.example":"203.0.113.7","control.vorn.example":"198.51.100.20"})");
    put(f, "product-xray.pid", "4321");
    put(f, "product-hysteria.pid", "4322\r\n");
    f.request_files.files[kRequestPath].answer = OpenedFile{fixture("redact/request.json"), kRequestPath};
    f.wfp.installed.provider = f.wfp.installed.sublayer = true;
    f.wfp.installed.filters.push_back({wfp_filter_key(false, 0), "block", WfpLayer::ConnectV4, 0, false, {}});
}

TEST(Diagnostics, ReportsWithoutChangingAnythingOrGivingAwaySecrets) {
    struct Case {
        const char* what;
        std::function<void(FakePlatform&)> machine;
        bool to_file;
        std::string state;
        std::vector<std::string> lines;  // each appears in the report
    };
    const Case cases[] = {
        {"full tunnel up", full_tunnel_up, true, "connected",
         {"live: yes (product-xray.pid names running process 4321)", "full-tunnel firewall: standing",
          "product-xray.pid: process 4321, running xray.exe: matches",
          "product-hysteria.pid: process 4322, running notepad.exe, which is not hysteria.exe: does not match",
          "engine processes running: xray.exe (pid 4321), hysteria.exe (pid 4400)",
          "saved request path: C:\\Users\\<user>\\Documents\\request.json",
          "[\n  \"<server>\",\n  \"198.51.100.20\",\n  \"1.1.1.1\",\n  \"8.8.8.8\"\n]",
          "\"address\": \"<server>\"", "user <redacted> rejected by <server> (<server>:443)",
          "      <server>  255.255.255.255      192.168.1.1", "tunnel adapter (\"Xray Tunnel\" or VornVPN): present",
          "filter {56A51FF2-6E39-4C1F-8F69-2E1D2CC40000} (IPv4, slot 0)", "> sc.exe qfailure VornTunnelService (exit code: 1060)",
          "service VornSplitCallout: not installed: not installed (1060)", "no other VPN client runs"}},
        // The request is learned from only as the service would read it; the configurations still teach the secrets.
        {"saved request reached through a link",
         [](FakePlatform& f) {
             full_tunnel_up(f);
             f.request_files.files[kRequestPath].answer = OpenedFile{fixture("redact/request.json"), "C:\\Windows\\x.json"};
         },
         false, "connected",
         {"the request file was not read: the path leads to C:\\Windows\\x.json through a link", "\"id\": \"<redacted>\"",
          "user <redacted> rejected by <server> (<server>:443)"}},
        {"tunnel down", [](FakePlatform& f) { put(f, "product-tunnel-status.json", R"({"status":"idle","message":"Vorn product tunnel disconnected"})"); },
         false, "idle",
         {"live: no (no pid file names a running engine", "product-xray.pid: absent",
          "product-route-exceptions.json: absent: no route exceptions are recorded", "none of the product's WFP objects exists",
          "product-tunnel-reconnect-request-path.txt: absent: no tunnel is up"}},
        {"runtime directory missing", [](FakePlatform&) {}, false, "idle",
         {"VornVPN: does not exist", "product-tunnel-status.json: the runtime directory does not exist",
          "product-xray-tun.json: the runtime directory does not exist", "recorded status: none"}},
        // A folder someone else owns is neither read nor taken back.
        {"untrusted runtime directory",
         [](FakePlatform& f) {
             full_tunnel_up(f);
             f.files.mark(f.runtime(), true, false);
         },
         false, "idle",
         {"runtime: NOT protected: owned by another account", "product-tunnel-status.json: not read: the runtime directory is not protected"}},
    };
    const auto& titles = diagnostics_section_titles();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakePlatform f;
        f.env.windows = "10.0.19045";
        f.wfp.open_status = 0;
        f.driver_service.installed = false;
        f.tools.handler = machine_tools;
        c.machine(f);
        std::string status_before = text_of(f.runtime() + "/product-tunnel-status.json");
        std::vector<std::string> args = {"svc.exe", "diagnostics"};
        const std::string report_path = f.dir.str() + "/report.txt";
        if (c.to_file) args.insert(args.end(), {"--out", report_path});

        EXPECT_EQ(run_command_line(f.platform, args), 0) << f.err.str();
        std::string out = f.out.str();
        size_t last_line = out.rfind('\n', out.size() - 2) + 1;
        std::string report = c.to_file ? text_of(report_path) : out.substr(0, last_line);
        EXPECT_EQ(out.substr(c.to_file ? 0 : last_line),
                  "{\"status\":\"" + c.state + "\",\"message\":\"Vorn diagnostics report written to " +
                      (c.to_file ? report_path : "standard output") + "\"}\n");
        EXPECT_EQ(f.err.str(), "");

        size_t at = 0;
        for (std::string_view title : titles) {
            at = report.find("\n== " + std::string(title) + " ==\n", at);
            EXPECT_NE(at, std::string::npos) << title;
        }
        for (const std::string& line : c.lines) EXPECT_TRUE(contains(report, line)) << line << "\n" << report;
        for (const char* secret : {"3f8a1c2e-9b4d-4e7f-a6c5-0d2b8e1f7a93", "Tr0ub4dor&3-horse", "Xk3vQ9pLr2Tz8WmN4bYc6HdJ1sAfE7gUoKiZ5nRtV0M",
                                   "6ba85179e30d4fc2", "48213577", "Edge-7.Vorn-Servers.example", "203.0.113.7", "Zelda Quill", "zelda.quill"}) {
            EXPECT_FALSE(contains(report, secret)) << secret;
            EXPECT_FALSE(contains(to_ascii_lower(report), to_ascii_lower(secret))) << secret;
        }
        // Only looked: the status file, the folders and the filtering engine are as they were.
        EXPECT_EQ(text_of(f.runtime() + "/product-tunnel-status.json"), status_before);
        for (const std::string& change : f.files.changes()) EXPECT_TRUE(contains(change, "report.txt")) << change;
        for (const std::string& call : f.wfp.calls) {
            EXPECT_TRUE(call == "open" || call == "close" || call.rfind("find ", 0) == 0) << call;
        }
        EXPECT_EQ(f.driver.codes.size(), 0u);
        EXPECT_TRUE(f.processes.requests.empty());
    }
}

TEST(Diagnostics, ReportThatCannotBeWrittenFailsTheCommand) {
    FakePlatform f;
    f.env.windows = "10.0.19045";
    f.wfp.open_status = 5;
    f.driver_service.installed = false;
    f.tools.handler = machine_tools;
    const std::string path = f.dir.str() + "/missing-folder/report.txt";
    EXPECT_EQ(run_command_line(f.platform, {"svc.exe", "diagnostics", "--out", path}), 1);
    EXPECT_EQ(f.out.str(), "");
    EXPECT_EQ(f.err.str().rfind("could not write diagnostics report " + path + ": ", 0), 0u) << f.err.str();
    EXPECT_FALSE(file_exists(f.runtime()));
}

TEST(Diagnostics, SectionsAreBounded) {
    FakePlatform f;
    f.env.windows.emplace();  // the system does not say
    f.wfp.open_status = 1753;
    f.driver_service.installed = false;
    f.tools.handler = machine_tools;
    std::string log;
    for (int i = 0; i < 300; ++i) log += "line " + std::to_string(i) + "\n";
    put(f, "product-tuic-stderr.log", log);
    nlohmann::json big = {{"padding", nlohmann::json::array()}};
    for (int i = 0; i < 20000; ++i) big["padding"].push_back("abcdefgh");
    put(f, "product-tuic.json", big.dump());
    std::string report = build_diagnostics_report(f.platform).text;
    EXPECT_TRUE(contains(report, "[... 100 earlier lines left out]\nline 100\n"));
    EXPECT_FALSE(contains(report, "\nline 99\n"));
    size_t configurations = report.find("== Engine configurations ==\n");
    size_t logs = report.find("bytes left out]\n\n== Engine logs ==\n");
    ASSERT_NE(logs, std::string::npos);
    EXPECT_LT(logs - configurations, kDiagnosticsSectionLimit + 100);
    EXPECT_TRUE(contains(report, "FwpmEngineOpen0 failed: Windows error 1753"));
    EXPECT_TRUE(contains(report, "Windows: unknown"));
}

}  // namespace
}  // namespace vorn
