#include <gtest/gtest.h>

#include "bin/vorn_tunnel_service/commands.h"
#include "common/files.h"
#include "fakes.h"
#include "tunnel_core/status.h"

namespace vorn {
namespace {

using testing::FakePlatform;
using testing::ToolCall;

const std::string kUsageLine = std::string(kUsage) + "\n";

// An elevated prompt on which nothing of the tunnel runs and every sc.exe run succeeds.
Result<ToolRun> elevated(const ToolCall& call) { return testing::quietly(call, {"net session", "sc.exe ", "tasklist "}); }

TEST(ParseArguments, CommandWordsAndTheirArguments) {
    struct Case {
        std::vector<std::string> args;
        std::optional<Command> command;
        std::string path;
    };
    const Case cases[] = {
        {{"svc.exe"}, std::nullopt, ""},
        {{"svc.exe", "start"}, std::nullopt, ""},
        {{"svc.exe", "Status"}, std::nullopt, ""},
        {{"svc.exe", "status", "--verbose", "x"}, Command::Status, ""},
        {{"svc.exe", "install"}, Command::Install, ""},
        {{"svc.exe", "uninstall"}, Command::Uninstall, ""},
        {{"svc.exe", "run-service"}, Command::RunService, ""},
        {{"svc.exe", "disconnect", "now"}, Command::Disconnect, ""},
        {{"svc.exe", "connect"}, std::nullopt, ""},
        {{"svc.exe", "connect", "--request"}, std::nullopt, ""},
        {{"svc.exe", "connect", "-r", "C:\\r.json"}, std::nullopt, ""},
        {{"svc.exe", "connect", "--request", "C:\\r.json", "extra"}, Command::Connect, "C:\\r.json"},
        {{"svc.exe", "connect", "--request", ""}, Command::Connect, ""},
        {{"svc.exe", "diagnostics", "extra"}, Command::Diagnostics, ""},
        {{"svc.exe", "diagnostics", "--out"}, std::nullopt, ""},
        {{"svc.exe", "diagnostics", "--out", "C:\\report.txt"}, Command::Diagnostics, ""},
    };
    for (const Case& c : cases) {
        auto parsed = parse_arguments(c.args);
        ASSERT_EQ(parsed.has_value(), c.command.has_value()) << ::testing::PrintToString(c.args);
        if (parsed) {
            EXPECT_EQ(parsed->command, *c.command);
            EXPECT_EQ(parsed->request_path, c.path);
            bool report_named = c.args.size() > 3 && c.args[2] == "--out";
            EXPECT_EQ(parsed->report_path, report_named ? std::optional(c.args[3]) : std::nullopt);
        }
    }
}

TEST(CommandLine, UsageFailuresPrintOnlyTheUsageLine) {
    for (std::vector<std::string> args : {std::vector<std::string>{"svc.exe"},
                                          {"svc.exe", "start"},
                                          {"svc.exe", "connect", "--request"}}) {
        FakePlatform f;
        f.wfp.open_status = 0;  // the filtering engine opens and holds none of our objects
        EXPECT_EQ(run_command_line(f.platform, args), 1);
        EXPECT_EQ(f.out.str(), "");
        EXPECT_EQ(f.err.str(), kUsageLine);
        EXPECT_TRUE(f.tools.calls.empty());
        EXPECT_FALSE(file_exists(f.runtime()));
    }
}

TEST(CommandLine, ElevationIsCheckedWithNetSessionForChangingCommandsOnly) {
    struct Case {
        std::vector<std::string> args;
        bool checks;
    };
    const Case cases[] = {
        {{"svc.exe", "install"}, true},
        {{"svc.exe", "uninstall"}, true},
        {{"svc.exe", "connect", "--request", "r.json"}, true},
        {{"svc.exe", "status"}, false},
        {{"svc.exe", "diagnostics", "--out", "r.txt"}, true},
    };
    for (const Case& c : cases) {
        FakePlatform f;
        f.wfp.open_status = 0;  // the filtering engine opens and holds none of our objects
        f.tools.handler = [](const ToolCall& call) -> Result<ToolRun> {
            if (call.program == "net") return ToolRun{2, "", ""};
            return elevated(call);
        };
        // Refused or not, a command line that did not prove its elevation never makes the folders.
        FakePlatform fresh;
        fresh.wfp.open_status = 0;
        fresh.tools.handler = f.tools.handler;
        (void)run_command_line(fresh.platform, c.args);
        EXPECT_FALSE(file_exists(fresh.dir.str() + "/VornVPN")) << c.args[1];

        ASSERT_TRUE(create_directories(f.runtime()).ok());
        int rc = run_command_line(f.platform, c.args);
        bool checked = !f.tools.calls.empty() && f.tools.calls[0].program == "net";
        EXPECT_EQ(checked, c.checks) << c.args[1];
        if (!c.checks) continue;
        EXPECT_EQ(f.tools.calls.size(), 1u);
        EXPECT_EQ(f.tools.calls[0].args, std::vector<std::string>{"session"});
        EXPECT_EQ(f.tools.calls[0].stdio, ToolStdio::DiscardOutput);
        std::string message = "ADMIN_REQUIRED: " + c.args[1] + " requires elevated administrator privileges";
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(f.out.str(), "{\"status\":\"error\",\"message\":\"" + message + "\"}\n");
        EXPECT_EQ(f.err.str(), message + "\n");
        // Diagnostics only look, even when refused.
        std::optional<TunnelStatus> recorded;
        if (c.args[1] != "diagnostics") recorded = make_status(TunnelState::Error, message);
        EXPECT_EQ(read_status(f.platform), recorded);
    }
}

TEST(CommandLine, NetThatCannotStartCountsAsNotElevated) {
    FakePlatform f;
    f.wfp.open_status = 0;  // the filtering engine opens and holds none of our objects
    f.tools.handler = [](const ToolCall& call) { return call.program == "net" ? fail("not found") : testing::unscripted_run(call); };
    EXPECT_EQ(run_command_line(f.platform, {"svc.exe", "uninstall"}), 1);
    EXPECT_EQ(f.err.str(), "ADMIN_REQUIRED: uninstall requires elevated administrator privileges\n");
}

TEST(CommandLine, InstallAndUninstallRunScAndRecordTheOutcome) {
    using Args = std::vector<std::string>;
    struct Case {
        const char* word;
        std::vector<Result<ToolRun>> sc;  // the answers to the sc.exe runs, in order
        std::vector<Args> sc_args;
        int rc;
        std::string out;
        std::string err;
    };
    const std::string exe = "C:\\Program Files\\Vorn\\vorn-tunnel-service.exe";
    const Args create = {"create", "VornTunnelService", "binPath=", "\"" + exe + "\" run-service", "start=", "demand",
                         "DisplayName=", "Vorn Tunnel Service"};
    const Args recovery = {"failure", "VornTunnelService", "reset=", "86400", "actions=",
                           "restart/5000/restart/30000/restart/60000"};
    const Args remove = {"delete", "VornTunnelService"};
    const ToolRun ok{0, "", ""};
    const Case cases[] = {
        {"install", {ok, ok}, {create, recovery}, 0,
         "{\"status\":\"idle\",\"message\":\"Vorn tunnel service installed\"}\n", ""},
        {"install", {ToolRun{1073, "", ""}}, {create}, 1, "", "sc.exe create exited with 1073\n"},
        {"install", {ToolRun{0xFFFFFFFFu, "", ""}}, {create}, 1, "", "sc.exe create exited with -1\n"},
        {"install", {fail("Access is denied. (os error 5)")}, {create}, 1, "",
         "could not run sc.exe create: Access is denied. (os error 5)\n"},
        // Without its recovery actions the new service is removed again.
        {"install", {ok, ToolRun{1060, "", ""}, ok}, {create, recovery, remove}, 1, "", "sc.exe failure exited with 1060\n"},
        {"install", {ok, fail("Access is denied. (os error 5)"), ok}, {create, recovery, remove}, 1, "",
         "could not run sc.exe failure: Access is denied. (os error 5)\n"},
        {"uninstall", {ok}, {remove}, 0,
         "{\"status\":\"idle\",\"message\":\"Vorn tunnel service uninstalled\"}\n", ""},
        {"uninstall", {ToolRun{1060, "", ""}}, {remove}, 1, "", "sc.exe delete exited with 1060\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word + std::string(" ") + c.err);
        FakePlatform f;
        f.wfp.open_status = 0;  // the filtering engine opens and holds none of our objects
        size_t sc_runs = 0;
        f.tools.handler = [&](const ToolCall& call) -> Result<ToolRun> {
            if (call.program == "net" && call.args == Args{"session"}) return ok;
            if (call.program == "sc.exe" && sc_runs < c.sc.size()) return c.sc[sc_runs++];
            return testing::unscripted_run(call);
        };
        EXPECT_EQ(run_command_line(f.platform, {"svc.exe", c.word}), c.rc);
        ASSERT_EQ(f.tools.calls.size(), 1 + c.sc_args.size());
        for (size_t i = 0; i < c.sc_args.size(); ++i) {
            EXPECT_EQ(f.tools.calls[1 + i].program, "sc.exe");
            EXPECT_EQ(f.tools.calls[1 + i].args, c.sc_args[i]);
            EXPECT_EQ(f.tools.calls[1 + i].stdio, ToolStdio::Inherit);
        }
        EXPECT_EQ(f.out.str(), c.out);
        EXPECT_EQ(f.err.str(), c.err);
        EXPECT_EQ(file_exists(f.runtime() + "/product-tunnel-status.json"), c.rc == 0);
        if (std::string(c.word) == "install") {  // both folders made private before sc.exe runs
            const std::string product = testing::FakeFileSecurity::key(f.dir.str() + "/VornVPN");
            auto changes = f.files.changes();
            ASSERT_GE(changes.size(), 2u);
            EXPECT_EQ(std::vector<std::string>(changes.begin(), changes.begin() + 2),
                      (std::vector<std::string>{"create " + product, "create " + product + "/runtime"}));
        }
    }
}

TEST(CommandLine, InstallWithoutItsOwnPathFailsBeforeSc) {
    FakePlatform f;
    f.wfp.open_status = 0;  // the filtering engine opens and holds none of our objects
    f.tools.handler = elevated;
    f.env.exe.reset();
    EXPECT_EQ(run_command_line(f.platform, {"svc.exe", "install"}), 1);
    EXPECT_EQ(f.err.str(),
              "could not locate service executable: The system cannot find the file specified. (os error 2)\n");
    EXPECT_EQ(f.tools.count("sc.exe"), 0u);
}

// The executable's folder and every folder above it decide whether it is installed, or runs as
// the service: the nearest one that someone else may change is named, and nothing is registered.
TEST(CommandLine, InstallAndServiceStartRefuseAFolderOthersMayChange) {
    enum class Mark { Writable, Foreign, Link, NewFoldersOnly };
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, Mark>> marked;  // folders below the case's root
        std::optional<std::string> refused;                  // the folder named
        std::string why = " is writable by non-administrators";
    };
    const Case cases[] = {
        {"trusted up to the root", {}, std::nullopt},
        {"its own folder writable", {{"Vorn/bin", Mark::Writable}}, "Vorn/bin"},
        {"its own folder someone else's", {{"Vorn/bin", Mark::Foreign}}, "Vorn/bin"},
        {"a folder above writable", {{"Vorn", Mark::Writable}}, "Vorn"},
        {"the root writable", {{"/", Mark::Writable}}, "/"},
        {"the nearest of two is named", {{"Vorn", Mark::Writable}, {"Vorn/bin", Mark::Foreign}}, "Vorn/bin"},
        {"new subfolders above change nothing on the way", {{"Vorn", Mark::NewFoldersOnly}}, std::nullopt},
        {"new files or folders beside it do", {{"Vorn/bin", Mark::NewFoldersOnly}}, "Vorn/bin"},
        {"a link on the way", {{"Vorn", Mark::Link}}, "Vorn", " is a link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakePlatform f;
        f.tools.handler = elevated;
        f.files.allow("/");
        const std::filesystem::path root = f.dir.path() / "programs";
        std::filesystem::create_directories(root / "Vorn" / "bin");
        f.env.exe = (root / "Vorn" / "bin" / "vorn-tunnel-service.exe").string();
        for (const auto& [folder, mark] : c.marked) {
            const std::string path = (root / folder).string();
            f.files.mark(path, mark == Mark::Foreign, mark == Mark::Writable || mark == Mark::NewFoldersOnly,
                         mark == Mark::Link);
            f.files.facts[testing::FakeFileSecurity::key(path)].others_only_add_folders = mark == Mark::NewFoldersOnly;
        }
        int rc = run_command_line(f.platform, {"svc.exe", "install"});
        if (!c.refused) {
            EXPECT_EQ(rc, 0) << f.err.str();
            EXPECT_EQ(f.tools.count("sc.exe"), 2u);
            continue;
        }
        const std::string reason = (root / *c.refused).string() + c.why;
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(f.err.str(), "could not install: " + reason + "\n");
        EXPECT_EQ(f.tools.count("sc.exe"), 0u);
        EXPECT_FALSE(read_status(f.platform).has_value());

        // Started by the service manager all the same, it stops at once and says why.
        f.service.dispatcher_error = 0;
        f.service.registration_ok = true;
        EXPECT_EQ(run_command_line(f.platform, {"svc.exe", "run-service"}), 0);
        EXPECT_EQ(f.service.reports, std::vector<ServiceState>{ServiceState::Stopped});
        EXPECT_EQ(read_status(f.platform), make_status(TunnelState::Error, "could not start VornTunnelService: " + reason));
        EXPECT_EQ(f.pipes.creations, 0);
    }
}

TEST(CommandLine, StatusWriteFailureStillPrintsAndExitsZero) {
    FakePlatform f;
    f.wfp.open_status = 0;  // the filtering engine opens and holds none of our objects
    f.tools.handler = elevated;
    ASSERT_TRUE(write_file(f.dir.str() + "/VornVPN", "blocks the runtime folder").ok());
    EXPECT_EQ(run_command_line(f.platform, {"svc.exe", "status", "extra"}), 0);
    EXPECT_EQ(f.out.str(), "{\"status\":\"idle\",\"message\":\"Vorn product tunnel service is idle\"}\n");
    EXPECT_EQ(f.err.str(), "");
}

TEST(CommandLine, InstallWithoutItsRuntimeFoldersRegistersNothing) {
    FakePlatform f;
    f.wfp.open_status = 0;  // the filtering engine opens and holds none of our objects
    f.tools.handler = elevated;
    ASSERT_TRUE(write_file(f.dir.str() + "/VornVPN", "blocks the runtime folder").ok());
    EXPECT_EQ(run_command_line(f.platform, {"svc.exe", "install"}), 1);
    EXPECT_EQ(f.out.str(), "");
    EXPECT_EQ(f.err.str().rfind("could not install: ", 0), 0u) << f.err.str();
    EXPECT_EQ(f.tools.count("sc.exe"), 0u);
}

}  // namespace
}  // namespace vorn
