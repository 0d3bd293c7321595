// The real executable on the simulated machine: exit codes, output lines, the status file.

#include <gtest/gtest.h>

#include "wine_machine.h"

namespace vorn::wine {
namespace {

namespace fs = std::filesystem;

const std::string kUsage =
    "usage: vorn-tunnel-service.exe install | uninstall | run-service | connect --request <path> | "
    "disconnect | status\n";

std::string last_line(const std::string& text) {
    auto lines = lines_of(text);
    return lines.empty() ? "" : lines.back();
}

TEST(CommandLine, UsageFailuresPrintOnlyTheUsageLine) {
    WineMachine m(case_name());
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"start"}, {"connect", "-r", "x.json"}}) {
        RunResult r = m.service(args);
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kUsage);
    }
    EXPECT_FALSE(fs::exists(m.runtime()));
}

TEST(CommandLine, StatusPrintsOneCompactLineAndWritesThePrettyFile) {
    WineMachine m(case_name());
    // A status never makes the runtime folders; once they are there, it keeps its record in them.
    EXPECT_EQ(m.service({"status"}).out, "{\"status\":\"idle\",\"message\":\"Vorn product tunnel service is idle\"}\n");
    EXPECT_FALSE(fs::exists(m.program_data() / "VornVPN"));
    fs::create_directories(m.runtime());
    RunResult r = m.service({"status", "ignored"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "{\"status\":\"idle\",\"message\":\"Vorn product tunnel service is idle\"}\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_text(m.runtime() / "product-tunnel-status.json"),
              "{\n  \"status\": \"idle\",\n  \"message\": \"Vorn product tunnel service is idle\"\n}");
    // Not live: the network clean-up ran through the system folder's tools.
    auto calls = m.calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "route delete|0.0.0.0|mask|128.0.0.0|172.19.0.1"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "netsh interface|ip|set|address|name=VornVPN|dhcp"), calls.end());
}

TEST(CommandLine, StatusWithALivePidFileSkipsTheXrayImageCheck) {
    WineMachine m(case_name());
    uint32_t pid = m.start_idle("engine.exe");
    write_text(m.runtime() / "product-xray.pid", "  " + std::to_string(pid) + " \r\n");
    write_text(m.runtime() / "product-tunnel-status.json", R"({"status":"error","message":"old"})");
    RunResult r = m.service({"status"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "{\"status\":\"connected\",\"message\":\"Vorn product tunnel process is running\"}\n");
    EXPECT_EQ(m.calls(), std::vector<std::string>{"tasklist /FI|PID eq " + std::to_string(pid) + "|/FO|CSV|/NH"});
    // A live tunnel is reported, not recorded.
    EXPECT_EQ(read_text(m.runtime() / "product-tunnel-status.json"), R"({"status":"error","message":"old"})");
}

TEST(CommandLine, UpperCaseXrayImageWithTheTunnelRouteCountsAsLive) {
    WineMachine m(case_name());
    auto interfaces = m.state_json("interfaces.json");
    interfaces.push_back({{"index", 23}, {"mac", ""}, {"description", "Xray Tunnel"}, {"name", "VornVPN-1"},
                          {"address", "172.19.0.1"}, {"mask", "255.255.255.252"}});
    m.set_state_json("interfaces.json", interfaces);
    auto routes = m.state_json("routes.json");
    routes.push_back({{"destination", "128.0.0.0"}, {"netmask", "128.0.0.0"}, {"gateway", "172.19.0.1"},
                      {"interface", "172.19.0.1"}, {"metric", 1}});
    m.set_state_json("routes.json", routes);
    write_text(m.runtime() / "product-tunnel-status.json",
               R"({"status":"connected","message":"Vorn product tunnel started in full mode over xray"})");
    m.start_idle("XRAY.EXE");

    RunResult r = m.service({"status"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "{\"status\":\"connected\",\"message\":\"Vorn product tunnel started in full mode over xray\"}\n");

    // Without the route the same process is not a tunnel: the record turns idle.
    routes.erase(routes.end() - 1);
    m.set_state_json("routes.json", routes);
    r = m.service({"status"});
    EXPECT_EQ(r.out, "{\"status\":\"idle\",\"message\":\"Vorn product tunnel process is not running\"}\n");
}

TEST(CommandLine, WithoutProgramDataTheStatusGoesUnderLocalAppData) {
    WineMachine m(case_name());
    std::vector<fs::path> runtimes;
    for (const auto& user : fs::directory_iterator(fs::path(VORN_WINE_PREFIX) / "drive_c" / "users")) {
        if (!fs::is_directory(user.path() / "AppData" / "Local")) continue;
        fs::remove_all(user.path() / "AppData" / "Local" / "VornVPN");
        runtimes.push_back(user.path() / "AppData" / "Local" / "VornVPN" / "runtime");
    }
    ASSERT_FALSE(runtimes.empty());

    // A status never makes the folders; it prints its record and keeps none.
    RunResult r = m.service({"status"}, false);
    EXPECT_EQ(r.rc, 0) << r.err;
    for (const fs::path& runtime : runtimes) EXPECT_FALSE(fs::exists(runtime.parent_path())) << runtime;

    // Once install has made them, the status is kept there.
    for (const fs::path& runtime : runtimes) fs::create_directories(runtime);
    r = m.service({"status"}, false);
    EXPECT_EQ(r.rc, 0) << r.err;
    bool found = false;
    for (const fs::path& runtime : runtimes) {
        found = found || fs::exists(runtime / "product-tunnel-status.json");
        fs::remove_all(runtime.parent_path());
    }
    EXPECT_TRUE(found);
    EXPECT_FALSE(fs::exists(m.runtime()));
}

TEST(CommandLine, InstallAndUninstallThroughTheServiceManager) {
    WineMachine m(case_name());
    (void)m.run({"sc.exe", "delete", "VornTunnelService"});

    RunResult installed = m.service({"install"});
    EXPECT_EQ(installed.rc, 0) << installed.err;
    EXPECT_EQ(last_line(installed.out), "{\"status\":\"idle\",\"message\":\"Vorn tunnel service installed\"}");
    RunResult query = m.run({"reg", "query", "HKLM\\System\\CurrentControlSet\\Services\\VornTunnelService"});
    EXPECT_NE(query.out.find("\"" + m.service_exe() + "\" run-service"), std::string::npos) << query.out;
    EXPECT_NE(query.out.find("Vorn Tunnel Service"), std::string::npos) << query.out;

    fs::remove(m.runtime() / "product-tunnel-status.json");
    RunResult again = m.service({"install"});
    EXPECT_EQ(again.rc, 1);
    EXPECT_EQ(again.err, "sc.exe create exited with 1\n");
    EXPECT_FALSE(fs::exists(m.runtime() / "product-tunnel-status.json"));

    RunResult removed = m.service({"uninstall"});
    EXPECT_EQ(removed.rc, 0) << removed.err;
    EXPECT_EQ(last_line(removed.out), "{\"status\":\"idle\",\"message\":\"Vorn tunnel service uninstalled\"}");
    EXPECT_EQ(read_text(m.runtime() / "product-tunnel-status.json"),
              "{\n  \"status\": \"idle\",\n  \"message\": \"Vorn tunnel service uninstalled\"\n}");
    EXPECT_NE(m.run({"sc.exe", "query", "VornTunnelService"}).rc, 0);
}

// Installed from a folder that others may write, its own or one above it, the service would run
// their code as LocalSystem: nothing is registered. (Under Wine, o+w on a folder reads back as
// write access for Everyone; group write is not mapped at all.)
TEST(CommandLine, InstallFromAFolderOthersMayWriteRegistersNothing) {
    WineMachine m(case_name());
    (void)m.run({"sc.exe", "delete", "VornTunnelService"});
    for (const fs::path& folder : {m.machine(), m.machine().parent_path()}) {
        SCOPED_TRACE(folder);
        fs::permissions(folder, fs::perms::others_write, fs::perm_options::add);
        RunResult r = m.service({"install"});
        fs::permissions(folder, fs::perms::others_write, fs::perm_options::remove);
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "could not install: " + windows_path(folder) + " is writable by non-administrators\n");
        EXPECT_NE(m.run({"sc.exe", "query", "VornTunnelService"}).rc, 0);
        EXPECT_FALSE(fs::exists(m.runtime() / "product-tunnel-status.json"));
    }
}

TEST(CommandLine, NotElevatedRecordsAndPrintsTheAdminRequiredRecord) {
    WineMachine m(case_name());
    m.set_fault("notAdmin", true);
    // Without elevation nothing makes the runtime folders; the record goes into folders already there.
    EXPECT_EQ(m.service({"install"}).rc, 1);
    EXPECT_FALSE(fs::exists(m.program_data() / "VornVPN"));
    fs::create_directories(m.runtime());
    for (std::string word : {"install", "uninstall", "connect"}) {
        std::vector<std::string> args = {word};
        if (word == "connect") args.insert(args.end(), {"--request", "C:\\r.json"});
        RunResult r = m.service(args);
        std::string message = "ADMIN_REQUIRED: " + word + " requires elevated administrator privileges";
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.out, "{\"status\":\"error\",\"message\":\"" + message + "\"}\n");
        EXPECT_EQ(r.err, message + "\n");
        EXPECT_EQ(read_text(m.runtime() / "product-tunnel-status.json"),
                  "{\n  \"status\": \"error\",\n  \"message\": \"" + message + "\"\n}");
    }
    EXPECT_EQ(m.calls(), (std::vector<std::string>{"net session", "net session", "net session", "net session"}));
}

}  // namespace
}  // namespace vorn::wine
