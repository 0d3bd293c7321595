#include <gtest/gtest.h>

#include "common/exit_status.h"
#include "common/files.h"
#include "engines/backend.h"
#include "engines/engine.h"
#include "engines/engine_launch.h"
#include "engines/log_tail.h"
#include "engines/port_guard.h"
#include "engines/readiness.h"
#include "engines/xray_config.h"
#include "fakes.h"
#include "full_tunnel/wintun_copy.h"

namespace vorn {
namespace {

using testing::FakeChild;
using testing::FakePlatform;
using testing::TempDir;
using testing::ToolCall;
namespace fs = std::filesystem;

void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    ASSERT_TRUE(write_file(path.string(), "x").ok());
}

TEST(ExitStatus, DecimalOrHexWhenTheTopBitIsSet) {
    EXPECT_EQ(render_exit_status(23), "exit code: 23");
    EXPECT_EQ(render_exit_status(0), "exit code: 0");
    EXPECT_EQ(render_exit_status(0x7FFFFFFF), "exit code: 2147483647");
    EXPECT_EQ(render_exit_status(3221225477u), "exit code: 0xc0000005");
    EXPECT_EQ(render_exit_status(0xFFFFFFFF), "exit code: 0xffffffff");
}

// A service at <root>/a/b/svc.exe; each case places files and expects what is found.
TEST(LocateEngine, SearchOrder) {
    struct Case {
        const char* name;
        const EngineSpec* engine;
        std::vector<std::string> files;  // relative to the root
        std::vector<std::string> dirs;
        std::optional<std::string> env;  // relative to the root
        std::optional<std::string> found;
        std::vector<std::string> writable = {};  // folders or files others may write
        std::vector<std::string> foreign = {};   // owned by an untrusted account
    };
    const Case cases[] = {
        {"beside the service", &xray_engine(), {"a/b/xray.exe", "bin/xray/xray.exe"}, {}, std::nullopt, "a/b/xray.exe"},
        {"second own name", &xray_engine(), {"a/b/xray-x86_64-pc-windows-msvc.exe"}, {}, std::nullopt,
         "a/b/xray-x86_64-pc-windows-msvc.exe"},
        {"variable wins", &xray_engine(), {"a/b/xray.exe", "elsewhere/x.exe"}, {}, "elsewhere/x.exe", "elsewhere/x.exe"},
        {"missing variable path skipped", &tuic_engine(), {"a/b/tuic.exe"}, {}, "nowhere/tuic.exe", "a/b/tuic.exe"},
        {"ancestor walk", &xray_engine(), {"bin/xray/xray.exe"}, {}, std::nullopt, "bin/xray/xray.exe"},
        {"nearest ancestor first", &xray_engine(), {"bin/xray/xray.exe", "a/src-tauri/bin/xray-x86_64-pc-windows-msvc.exe"},
         {}, std::nullopt, "a/src-tauri/bin/xray-x86_64-pc-windows-msvc.exe"},
        {"candidate order within one folder", &hysteria_engine(),
         {"a/bin/hysteria/hysteria.exe", "a/src-tauri/bin/hysteria/hysteria.exe"}, {}, std::nullopt,
         "a/src-tauri/bin/hysteria/hysteria.exe"},
        {"bare name above for hysteria", &hysteria_engine(), {"a/hysteria.exe"}, {}, std::nullopt, "a/hysteria.exe"},
        {"no bare name above for xray", &xray_engine(), {"a/xray.exe"}, {}, std::nullopt, std::nullopt},
        {"a folder named xray.exe", &xray_engine(), {}, {"a/b/xray.exe"}, std::nullopt, "a/b/xray.exe"},
        {"nothing", &tuic_engine(), {}, {}, std::nullopt, std::nullopt},
        {"ancestor candidate under a writable folder passed over", &xray_engine(),
         {"a/bin/xray/xray.exe", "bin/xray/xray.exe"}, {}, std::nullopt, "bin/xray/xray.exe", {"a/bin"}},
        {"foreign-owned candidate passed over", &tuic_engine(), {"a/bin/tuic/tuic.exe", "bin/tuic/tuic.exe"}, {},
         std::nullopt, "bin/tuic/tuic.exe", {}, {"a/bin/tuic/tuic.exe"}},
        {"the folder it hangs from counts", &tuic_engine(), {"bin/tuic/tuic.exe"}, {}, std::nullopt, std::nullopt,
         {"."}},
        {"beside the service in a writable folder passed over", &xray_engine(), {"a/b/xray.exe", "bin/xray/xray.exe"},
         {}, std::nullopt, "bin/xray/xray.exe", {"a/b"}},
        {"foreign-owned copy beside the service passed over", &tuic_engine(), {"a/b/tuic.exe"}, {}, std::nullopt,
         std::nullopt, {}, {"a/b/tuic.exe"}},
        {"the variable needs no trust", &xray_engine(), {"a/b/xray.exe", "elsewhere/x.exe"}, {}, "elsewhere/x.exe",
         "elsewhere/x.exe", {"elsewhere", "elsewhere/x.exe"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        for (const auto& f : c.files) touch(root.path() / f);
        for (const auto& d : c.dirs) fs::create_directories(root.path() / d);
        testing::FakeFileSecurity security;
        security.allow(root.str());
        for (const auto& w : c.writable) security.mark((root.path() / w).string(), false, true);
        for (const auto& o : c.foreign) security.mark((root.path() / o).string(), true, false);
        testing::FakeEnvironment env;
        env.exe = (root.path() / "a" / "b" / "svc.exe").string();
        if (c.env) env.variables[std::string(c.engine->env_variable)] = (root.path() / *c.env).string();
        auto found = locate_engine(*c.engine, env, security);
        if (c.found) {
            ASSERT_TRUE(found.ok()) << found.error();
            EXPECT_EQ(fs::path(*found), root.path() / *c.found);
        } else {
            ASSERT_FALSE(found.ok());
            EXPECT_EQ(found.error(), std::string(c.engine->executable) + " was not found for product tunnel");
        }
    }
}

TEST(LocateEngine, CandidateListEndsWithTheCurrentFolder) {
    testing::FakeEnvironment env;
    env.exe = "/svc/svc.exe";
    auto xray = engine_candidates(xray_engine(), env);
    auto tuic = engine_candidates(tuic_engine(), env);
    // own names 2, then /svc and / with 4 (xray) or 5 candidates, then the current folder.
    ASSERT_EQ(xray.size(), 2u + 4 + 4 + 4 + 1);
    EXPECT_EQ(xray.front(), "/svc/xray.exe");
    EXPECT_EQ(xray[2], "/svc/src-tauri/bin/xray/xray.exe");
    EXPECT_EQ(xray[6], "/src-tauri/bin/xray/xray.exe");
    EXPECT_EQ(xray[10], "src-tauri/bin/xray/xray.exe");
    EXPECT_EQ(xray.back(), "xray.exe");
    ASSERT_EQ(tuic.size(), 2u + 5 + 5 + 5);
    EXPECT_EQ(tuic.back(), "tuic.exe");
    env.exe.reset();
    EXPECT_EQ(engine_candidates(xray_engine(), env).size(), 5u);
}

TEST(LogTail, LastTwentyLinesTrimmed) {
    struct Case {
        std::optional<std::string> text;
        std::string tail;
    };
    std::string lines25;
    for (int i = 1; i <= 25; ++i) lines25 += "line " + std::to_string(i) + "\r\n";
    std::string expected25;
    for (int i = 6; i <= 25; ++i) expected25 += (i > 6 ? "\n" : "") + std::string("line ") + std::to_string(i);
    std::string long_line;  // 6001 bytes: the last 4096 would start inside an "é"
    for (int i = 0; i < 3000; ++i) long_line += "\xC3\xA9";
    const std::string long_tail = long_line.substr(1906) + "x";
    const Case cases[] = {
        {lines25, expected25},
        {std::nullopt, ""},
        {"", ""},
        {"  only\n\n", "only"},
        {"a\nb", "a\nb"},
        {"bad \xFF byte", "bad \xEF\xBF\xBD byte"},
        {"first\n" + long_line + "x\n", long_tail},
    };
    for (const Case& c : cases) {
        FakePlatform f;
        if (c.text) {
            ASSERT_TRUE(create_directories(f.runtime()).ok());
            ASSERT_TRUE(write_file(f.runtime() + "/e.log", *c.text).ok());
        }
        EXPECT_EQ(read_log_tail(f.platform, "e.log"), c.tail);
    }
}

TEST(EngineFiles, PidFileConfigFileAndWintunCopy) {
    FakePlatform f;
    ASSERT_TRUE(create_directories(f.runtime()).ok());
    FakeChild child(4321);
    ASSERT_TRUE(write_engine_pid(f.platform, "product-tuic.pid", child).ok());
    EXPECT_EQ(read_file(f.runtime() + "/product-tuic.pid").value(), "4321");

    ASSERT_TRUE(write_engine_config(f.platform, "c.json", nlohmann::json{{"b", 1}, {"a", {{"d", 2}}}}, "TUIC").ok());
    EXPECT_EQ(read_file(f.runtime() + "/c.json").value(), "{\n  \"a\": {\n    \"d\": 2\n  },\n  \"b\": 1\n}");
    auto bad = write_engine_config(f.platform, "bad.json", nlohmann::json("\xFF"), "TUIC");
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().rfind("could not serialize TUIC config: ", 0), 0u);
    ASSERT_TRUE(create_directories(f.runtime() + "/dir.json").ok());
    auto blocked = write_engine_config(f.platform, "dir.json", nlohmann::json::object(), "Hysteria2");
    ASSERT_FALSE(blocked.ok());
    EXPECT_EQ(blocked.error().rfind("could not write Hysteria2 config: ", 0), 0u);

    const TempDir& dir = f.dir;
    std::string source = (dir.path() / "wintun-source.dll").string();
    ASSERT_TRUE(write_file(source, "new").ok());
    fs::create_directories(dir.path() / "xray");
    std::string xray = (dir.path() / "xray" / "xray.exe").string();
    std::string copy = (dir.path() / "xray" / "wintun.dll").string();
    ASSERT_TRUE(copy_wintun_next_to_xray(f.platform, xray, source).ok());
    EXPECT_EQ(read_file(copy).value(), "new");
    ASSERT_TRUE(write_file(source, "newer").ok());
    ASSERT_TRUE(copy_wintun_next_to_xray(f.platform, xray, source).ok());
    EXPECT_EQ(read_file(copy).value(), "new");  // a trusted copy is never overwritten
    for (bool foreign : {true, false}) {
        ASSERT_TRUE(write_file(copy, "planted").ok());
        f.files.mark(copy, foreign, !foreign);
        ASSERT_TRUE(copy_wintun_next_to_xray(f.platform, xray, source).ok());
        EXPECT_EQ(read_file(copy).value(), f.wintun_image);  // written afresh from the embedded image
    }
    auto no_parent = copy_wintun_next_to_xray(f.platform, "xray.exe", source);
    ASSERT_FALSE(no_parent.ok());
    EXPECT_EQ(no_parent.error(), "xray.exe parent directory is unavailable");
    auto missing = copy_wintun_next_to_xray(f.platform, (dir.path() / "gone" / "xray.exe").string(), source);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().rfind("could not copy wintun.dll next to xray.exe: ", 0), 0u);
}

TEST(LaunchEngine, EachStageHasItsMessage) {
    struct Case {
        std::optional<LaunchFailure> failure;
        LaunchMessages messages;
        std::string error;
    };
    const Case cases[] = {
        {LaunchFailure{LaunchStage::StdoutLog, "denied"}, xray_tun_launch_messages(), "could not create Xray stdout log: denied"},
        {LaunchFailure{LaunchStage::StderrLog, "denied"}, xray_tun_launch_messages(), "could not create Xray stderr log: denied"},
        {LaunchFailure{LaunchStage::Start, "bad image"}, xray_tun_launch_messages(), "could not start Xray TUN engine: bad image"},
        {LaunchFailure{LaunchStage::StdoutLog, "x"}, engine_launch_messages("Xray split"), "could not create Xray split stdout log: x"},
        {LaunchFailure{LaunchStage::Start, "x"}, engine_launch_messages("Xray split"), "could not start Xray split engine: x"},
        {LaunchFailure{LaunchStage::StderrLog, "x"}, engine_launch_messages("TUIC"), "could not create TUIC stderr log: x"},
        {std::nullopt, engine_launch_messages("Hysteria2"), ""},
    };
    for (const Case& c : cases) {
        FakePlatform f;
        f.processes.launches = 1;
        f.processes.next_failure = c.failure;
        auto child = launch_engine(f.platform, "C:\\e\\tuic.exe", {"-c", "cfg"}, "o.log", "e.log", c.messages);
        ASSERT_EQ(child.ok(), c.error.empty());
        if (!child.ok()) { EXPECT_EQ(child.error(), c.error); }
        ASSERT_EQ(f.processes.requests.size(), 1u);
        EXPECT_EQ(f.processes.requests[0].stdout_log, f.runtime() + "/o.log");
        EXPECT_EQ(f.processes.requests[0].stderr_log, f.runtime() + "/e.log");
        EXPECT_EQ(f.processes.requests[0].args, (std::vector<std::string>{"-c", "cfg"}));
    }
}

// The launcher truncates an existing log, keeping its owner: logs someone else controls go first.
TEST(LaunchEngine, LogsSomeoneElseControlsAreDeletedBeforeTheStart) {
    const EngineSpec& xray = xray_engine();
    FakePlatform f;
    f.processes.launches = 1;
    ASSERT_TRUE(create_directories(f.runtime()).ok());
    std::vector<std::string> planted = {std::string(xray.stdout_log), std::string(kXrayErrorLog), "kept.log"};
    for (const auto& name : planted) {
        ASSERT_TRUE(write_file(f.runtime() + "/" + name, "planted").ok());
        if (name != "kept.log") f.files.mark(f.runtime() + "/" + name, name == xray.stdout_log, true);
    }
    ASSERT_TRUE(launch_engine(f.platform, "C:\\x\\xray.exe", {"run"}, xray.stdout_log, xray.stderr_log,
                              xray_tun_launch_messages())
                    .ok());
    EXPECT_FALSE(file_exists(f.runtime() + "/" + planted[0]));
    EXPECT_FALSE(file_exists(f.runtime() + "/" + planted[1]));
    EXPECT_TRUE(file_exists(f.runtime() + "/kept.log"));
    EXPECT_EQ(f.files.changes().size(), 2u);
}

// route print answers: the adapter appears at the given call (1-based; 0 never).
testing::FakeTools::Handler adapter_from(int call) {
    auto count = std::make_shared<int>(0);
    return [=](const ToolCall& run) -> Result<ToolRun> {
        if (run.text() != "route print") return testing::unscripted_run(run);
        ++*count;
        bool present = call != 0 && *count >= call;
        return ToolRun{0, present ? " 23...00 ff 6d 9c 4a 1b ......Xray Tunnel\r\n" : "Interface List\r\n", ""};
    };
}

TEST(Readiness, WaitsCountPollsAndSleepsExactly) {
    struct Case {
        const char* name;
        std::function<Status(FakePlatform&, FakeChild&)> wait;
        int exit_after_polls;  // -1: keeps running
        uint32_t exit_code;
        std::string stderr_log;
        std::string stdout_log;
        std::optional<std::string> poll_error;
        std::vector<uint32_t> sleeps;
        std::string error;
    };
    auto startup = [](FakePlatform& f, FakeChild& c) { return watch_xray_startup(f.platform, c); };
    auto adapter = [](FakePlatform& f, FakeChild& c) { return wait_for_xray_adapter(f.platform, c); };
    auto socks = [](FakePlatform& f, FakeChild& c) {
        return wait_for_socks_port(f.platform, 18109, c, "h-out.log", "h-err.log", "Hysteria2");
    };
    auto n = [](size_t count, uint32_t ms) { return std::vector<uint32_t>(count, ms); };
    const Case cases[] = {
        {"startup succeeds after 50 polls", startup, -1, 0, "", "", std::nullopt, n(50, 100), ""},
        {"startup exit with stderr", startup, 3, 23, "first\nFailed to start: bad config\n", "ignored", std::nullopt,
         n(3, 100), "Xray TUN engine exited during startup: exit code: 23: first\nFailed to start: bad config"},
        {"startup exit with stdout only", startup, 0, 3221225477u, "", "out line", std::nullopt, {},
         "Xray TUN engine exited during startup: exit code: 0xc0000005: out line"},
        {"startup exit with empty logs", startup, 0, 1, "", "", std::nullopt, {},
         "Xray TUN engine exited during startup: exit code: 1"},
        {"startup poll error", startup, -1, 0, "", "", "Access is denied.", {},
         "could not check Xray TUN startup: Access is denied."},
        {"adapter poll error", adapter, -1, 0, "", "", "gone", {}, "could not check Xray TUN readiness: gone"},
        {"adapter exit", adapter, 1, 2, "e", "", std::nullopt, n(1, 250),
         "Xray TUN engine exited before adapter was ready: exit code: 2: e"},
        {"socks exit", socks, 2, 1, "", "fatal", std::nullopt, n(2, 100),
         "Hysteria2 engine exited before opening local SOCKS port 127.0.0.1:18109: exit code: 1: fatal"},
        {"socks poll error", socks, -1, 0, "", "", "bad", {}, "could not check Hysteria2 engine startup: bad"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        f.tools.handler = adapter_from(0);
        f.net.accept_from = 0;
        ASSERT_TRUE(create_directories(f.runtime()).ok());
        std::string err_log = c.name[0] == 's' && c.name[1] == 'o' ? "/h-err.log" : "/product-xray-stderr.log";
        std::string out_log = c.name[0] == 's' && c.name[1] == 'o' ? "/h-out.log" : "/product-xray-stdout.log";
        ASSERT_TRUE(write_file(f.runtime() + err_log, c.stderr_log).ok());
        ASSERT_TRUE(write_file(f.runtime() + out_log, c.stdout_log).ok());
        FakeChild child;
        child.exit_after_polls = c.exit_after_polls;
        child.exit_code = c.exit_code;
        child.poll_error = c.poll_error;
        Status result = c.wait(f, child);
        EXPECT_EQ(result.ok(), c.error.empty());
        if (!result.ok()) { EXPECT_EQ(result.error(), c.error); }
        EXPECT_EQ(f.clock.sleeps, c.sleeps);
    }
}

TEST(Readiness, AdapterAndPortTimingsAndCounts) {
    struct Case {
        int adapter_from;
        size_t sleeps;
        size_t route_runs;
        bool ok;
    };
    for (const Case& c : {Case{1, 0, 1, true}, Case{4, 3, 4, true}, Case{0, 120, 120, false}}) {
        FakePlatform f;
        f.tools.handler = adapter_from(c.adapter_from);
        FakeChild child;
        Status result = wait_for_xray_adapter(f.platform, child);
        EXPECT_EQ(result.ok(), c.ok);
        if (!c.ok) { EXPECT_EQ(result.error(), "Xray TUN adapter did not become ready"); }
        EXPECT_EQ(f.clock.sleeps, std::vector<uint32_t>(c.sleeps, 250));
        EXPECT_EQ(f.tools.call_texts(), std::vector<std::string>(c.route_runs, "route print"));
        EXPECT_EQ(child.polls, static_cast<int>(c.route_runs));
    }
    for (int accept_from : {1, 7, 0}) {
        FakePlatform f;
        f.net.accept_from = accept_from;
        FakeChild child;
        Status result = wait_for_socks_port(f.platform, 18108, child, "o", "e", "TUIC");
        size_t attempts = accept_from == 0 ? 60 : static_cast<size_t>(accept_from);
        EXPECT_EQ(f.net.attempts, std::vector<std::string>(attempts, "127.0.0.1:18108"));
        EXPECT_EQ(f.clock.sleeps.size(), accept_from == 0 ? 60u : attempts - 1);
        EXPECT_EQ(child.polls, accept_from == 0 ? 60 : accept_from - 1);
        if (accept_from == 0) {
            EXPECT_EQ(result.error(), "TUIC engine did not open local SOCKS port 127.0.0.1:18108");
        } else {
            EXPECT_TRUE(result.ok());
        }
    }
}

TEST(PortGuard, FreeBeforeStartAndTheEnginesOwnOnceOpen) {
    const std::string prefix = "could not start Hysteria2 engine: ";
    struct Case {
        const char* name;
        std::vector<uint32_t> listeners;
        std::optional<std::string> table_error;
        std::string free_error;   // "" when the port counts as free
        std::string owner_error;  // "" when the engine (pid 4321) owns it
    };
    const Case cases[] = {
        {"nobody", {}, std::nullopt, "", ""},
        {"the engine", {4321}, std::nullopt, prefix + "local port 127.0.0.1:18109 is already held by process 4321", ""},
        {"another process", {977}, std::nullopt, prefix + "local port 127.0.0.1:18109 is already held by process 977",
         "Hysteria2 engine local port 127.0.0.1:18109 is held by process 977, not by the engine (process 4321)"},
        {"the engine beside another", {4321, 977}, std::nullopt,
         prefix + "local port 127.0.0.1:18109 is already held by process 4321",
         "Hysteria2 engine local port 127.0.0.1:18109 is held by process 977, not by the engine (process 4321)"},
        {"owner not reported", {0}, std::nullopt,
         prefix + "local port 127.0.0.1:18109 is already held by another process (the system does not say which)", ""},
        {"table unreadable", {}, std::string("GetExtendedTcpTable failed: x"),
         prefix + "could not check local port 127.0.0.1:18108: GetExtendedTcpTable failed: x",
         "could not check Hysteria2 engine local port 127.0.0.1:18109: GetExtendedTcpTable failed: x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        f.net.other_ports_free = true;
        f.net.listeners[18109] = {c.listeners};
        f.net.listener_error = c.table_error;
        Status free = check_ports_free(f.platform, {18108, 18109}, prefix);
        EXPECT_EQ(free.ok() ? "" : free.error(), c.free_error);
        Status owned = check_port_owner(f.platform, 18109, 4321, "Hysteria2");
        EXPECT_EQ(owned.ok() ? "" : owned.error(), c.owner_error);
    }
}

TEST(StartBackend, WritesLaunchesRecordsAndWaits) {
    struct Case {
        const char* transport;
        bool engine_present;
        std::optional<LaunchFailure> launch_failure;
        int accept_from;
        std::string error;
        std::vector<std::string> args;  // after the executable; the config path stands as CFG
        bool ended_by_undo = false;     // a failure's undo ends the engine it started
    };
    const Case cases[] = {
        {"xray", true, std::nullopt, 1, "", {}},
        {" hysteria2", true, std::nullopt, 3, "", {"client", "-c", "CFG", "--disable-update-check"}},
        {"tuic", true, std::nullopt, 1, "", {"-c", "CFG"}},
        {"tuic", false, std::nullopt, 1, "tuic.exe was not found for product tunnel", {}},
        {"hysteria2", false, std::nullopt, 1, "hysteria.exe was not found for product tunnel", {}},
        {"tuic", true, LaunchFailure{LaunchStage::Start, "bad"}, 1, "could not start TUIC engine: bad", {"-c", "CFG"}},
        {"hysteria2", true, std::nullopt, 0, "Hysteria2 engine did not open local SOCKS port 127.0.0.1:18109",
         {"client", "-c", "CFG", "--disable-update-check"}, true},
        {"wireguard", true, std::nullopt, 1,
         "PRODUCT_TUNNEL_BACKEND_NOT_INSTALLED: WIREGUARD is not supported by product tunnel", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.transport) + " " + c.error);
        FakePlatform f;
        ASSERT_TRUE(create_directories(f.runtime()).ok());
        TempDir install;
        f.env.exe = (install.path() / "svc.exe").string();
        f.files.allow(install.str());
        if (c.engine_present) {
            touch(install.path() / "hysteria.exe");
            touch(install.path() / "tuic.exe");
        }
        f.processes.next_failure = c.launch_failure;
        f.processes.launches = 1;
        f.net.other_ports_free = true;
        f.net.accept_from = c.accept_from;
        ProductTunnelRequest request = make_product_tunnel_request(
            "", c.transport, nlohmann::json::parse(R"({"server":{"host":"203.0.113.7"},"user":{"uuid":"u","password":"p"}})"),
            nullptr);
        UndoLog undo;
        Status result = start_backend(f.platform, request, undo);
        if (result.ok()) {
            undo.keep();
        } else {
            undo.run();
        }
        EXPECT_EQ(f.processes.ended, c.ended_by_undo ? std::vector<uint32_t>{4321} : std::vector<uint32_t>{});
        EXPECT_EQ(result.ok(), c.error.empty());
        if (!result.ok()) { EXPECT_EQ(result.rendered(), c.error); }
        if (c.args.empty()) {
            EXPECT_TRUE(f.processes.requests.empty());
            continue;
        }
        bool hysteria = c.args.size() == 4;
        std::string engine = hysteria ? "hysteria" : "tuic";
        std::string config = f.runtime() + "/product-" + engine + ".json";
        EXPECT_TRUE(file_exists(config));
        ASSERT_EQ(f.processes.requests.size(), 1u);
        const LaunchRequest& launched = f.processes.requests[0];
        EXPECT_EQ(fs::path(launched.executable), install.path() / (engine + ".exe"));
        std::vector<std::string> args = c.args;
        for (auto& a : args) {
            if (a == "CFG") a = config;
        }
        EXPECT_EQ(launched.args, args);
        EXPECT_EQ(launched.stdout_log, f.runtime() + "/product-" + engine + "-stdout.log");
        EXPECT_EQ(launched.stderr_log, f.runtime() + "/product-" + engine + "-stderr.log");
        EXPECT_EQ(file_exists(f.runtime() + "/product-" + engine + ".pid"), c.error.empty());
    }
}

}  // namespace
}  // namespace vorn
