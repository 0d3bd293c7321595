#pragma once
// The real executable installed as the service VornTunnelService under Wine's service manager,
// started, and asked over its named pipe as the desktop application asks it.

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "wine_machine.h"

namespace vorn::wine {

// Wine gives services C:\users\Public as ProgramData.
inline std::filesystem::path service_runtime() {
    return std::filesystem::path(VORN_WINE_PREFIX) / "drive_c" / "users" / "Public" / "VornVPN" / "runtime";
}

class ServiceCase {
public:
    ServiceCase() : m(case_name()) {
        std::filesystem::remove_all(service_runtime());
        // Wine ends services once no ordinary process is left in the prefix.
        m.start_idle("keeper.exe", 600);
        (void)m.run({"sc.exe", "delete", "VornTunnelService"});
        RunResult installed = m.service({"install"});
        EXPECT_EQ(installed.rc, 0) << installed.err;
        start();
    }
    ~ServiceCase() {
        stop();
        (void)m.run({"sc.exe", "delete", "VornTunnelService"});
    }
    void start() { EXPECT_EQ(m.run({"sc.exe", "start", "VornTunnelService"}).rc, 0); }
    // Sends the stop control and waits for STOPPED; returns how long that took.
    std::chrono::milliseconds stop() {
        auto begin = std::chrono::steady_clock::now();
        (void)m.run({"sc.exe", "stop", "VornTunnelService"});
        for (int i = 0; i < 200; ++i) {
            if (m.run({"sc.exe", "query", "VornTunnelService"}).out.find("STOPPED") != std::string::npos) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
    }
    std::string ask(const std::string& request) {
        RunResult r = m.program("pipe-client.exe", {request});
        EXPECT_EQ(r.rc, 0) << r.err;
        return r.out;
    }
    std::string connect_request(const std::string& path) {
        nlohmann::json request = {{"command", "connect"}, {"requestPath", path}};
        return request.dump();
    }

    WineMachine m;
};

}  // namespace vorn::wine
