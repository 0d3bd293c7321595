// The engine operations with the real Win32 adapters, against the stand-in engines.

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "wine_machine.h"

namespace vorn::wine {
namespace {

namespace fs = std::filesystem;


TEST(Engines, LaunchedEngineWritesLogsAndPidAndOutlivesTheLauncher) {
    WineMachine m(case_name());
    RunResult r = m.program("engine_probe.exe", {"launch", "hysteria", write_request(m, "hysteria2")});
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "ok\n");
    std::string pid = read_text(m.runtime() / "product-hysteria.pid");
    EXPECT_TRUE(std::regex_match(pid, std::regex("[1-9][0-9]*"))) << "[" << pid << "]";
    EXPECT_TRUE(fs::exists(m.runtime() / "product-hysteria-stderr.log"));
    EXPECT_NE(read_text(m.runtime() / "product-hysteria.json").find("\"listen\": \"127.0.0.1:18109\""), std::string::npos);
    // The launcher has exited; the engine still serves its SOCKS5 port.
    bool open = false;
    for (int i = 0; i < 100 && !open; ++i) {
        open = port_open(18109);
        if (!open) usleep(50000);
    }
    ASSERT_TRUE(open);
    auto calls = m.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].rfind("hysteria client|-c|Z:\\", 0), 0u) << calls[0];
    EXPECT_EQ(calls[0].substr(calls[0].size() - 44), "product-hysteria.json|--disable-update-check");
    uint16_t echo = start_echo_server();
    EXPECT_EQ(socks5_exchange(18109, echo, "through the engine"), "through the engine");
    EXPECT_NE(read_text(m.runtime() / "product-hysteria-stdout.log").find("SOCKS5 server listening"), std::string::npos);
}

TEST(Engines, XrayStartsAndItsAdapterAppears) {
    WineMachine m(case_name());
    RunResult r = m.program("engine_probe.exe", {"xray", write_request(m, "xray")});
    EXPECT_EQ(r.out, "ok\n") << r.err;
    // The Wintun DLL the executable carries now lies beside xray.exe, which loaded it.
    EXPECT_EQ(read_text(m.machine() / "wintun.dll"), read_text(fs::path(VORN_WINDOWS_BIN_DIR) / "wintun.dll"));
    RunResult route = m.run({m.system_tool("route.exe"), "print"});
    EXPECT_NE(route.out.find(" 23...00 ff 6d 9c 4a 1b ......Xray Tunnel"), std::string::npos) << route.out;
    EXPECT_TRUE(port_open(18089));
}

TEST(Engines, XrayExitDuringStartupCarriesExitCodeAndStderrLine) {
    struct Case {
        nlohmann::json fault;
        std::string message;
    };
    const Case cases[] = {
        {{{"exitCode", 23}, {"stderr", "Failed to start: main: failed to load config files: test fault"}},
         "Xray TUN engine exited during startup: exit code: 23: Failed to start: main: failed to load config files: test fault"},
        {{{"exitCode", 3221225477u}}, "Xray TUN engine exited during startup: exit code: 0xc0000005"},
        {{{"exitCode", 4}, {"stdout", "only on stdout"}},
         "Xray TUN engine exited during startup: exit code: 4: only on stdout"},
    };
    for (const Case& c : cases) {
        WineMachine m(case_name());
        m.set_fault("xray", c.fault);
        RunResult r = m.program("engine_probe.exe", {"xray", write_request(m, "xray")});
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.out, c.message + "\n");
    }
}

TEST(Engines, StartBackendWaitsForTheSocksPort) {
    for (std::string transport : {"hysteria2", " TUIC "}) {
        WineMachine m(case_name());
        RunResult r = m.program("engine_probe.exe", {"start-backend", write_request(m, transport)});
        EXPECT_EQ(r.out, "ok\n") << transport << r.err;
        bool tuic = transport != "hysteria2";
        EXPECT_TRUE(port_open(tuic ? 18108 : 18109));
        EXPECT_TRUE(fs::exists(m.runtime() / (tuic ? "product-tuic.pid" : "product-hysteria.pid")));
    }
}

TEST(Engines, StartBackendReportsAPortThatNeverOpens) {
    WineMachine m(case_name());
    m.set_fault("hysteria", {{"noListen", true}});
    RunResult r = m.program("engine_probe.exe", {"start-backend", write_request(m, "hysteria2")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, "Hysteria2 engine did not open local SOCKS port 127.0.0.1:18109\n");
}

TEST(Engines, StartBackendReportsAnEngineThatExits) {
    WineMachine m(case_name());
    m.set_fault("tuic", {{"exitCode", 1}, {"stderr", "Error: handshake with 203.0.113.7:443 failed"}});
    RunResult r = m.program("engine_probe.exe", {"start-backend", write_request(m, "tuic")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out,
              "TUIC engine exited before opening local SOCKS port 127.0.0.1:18108: exit code: 1: "
              "Error: handshake with 203.0.113.7:443 failed\n");
}

}  // namespace
}  // namespace vorn::wine
