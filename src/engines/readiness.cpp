#include "engines/readiness.h"

#include "common/exit_status.h"
#include "engines/engine.h"
#include "engines/log_tail.h"
#include "tunnel_core/tunnel_interface.h"

namespace vorn {

namespace {

constexpr int kStartupPolls = 50;
constexpr uint32_t kStartupSleepMs = 100;
constexpr int kAdapterPolls = 120;
constexpr uint32_t kAdapterSleepMs = 250;
constexpr int kSocksAttempts = 60;
constexpr uint32_t kSocksSleepMs = 100;

std::string xray_exit(Platform& platform, uint32_t code) {
    const EngineSpec& xray = xray_engine();
    return render_exit_status(code) + exit_detail(platform, xray.stdout_log, xray.stderr_log);
}

}  // namespace

Status watch_xray_startup(Platform& platform, ChildProcess& xray) {
    for (int i = 0; i < kStartupPolls; ++i) {
        auto state = xray.poll();
        if (!state) return fail("could not check Xray TUN startup: " + state.error());
        if (*state) return fail("Xray TUN engine exited during startup: " + xray_exit(platform, **state));
        platform.clock.sleep_ms(kStartupSleepMs);
    }
    return {};
}

Status wait_for_xray_adapter(Platform& platform, ChildProcess& xray) {
    for (int i = 0; i < kAdapterPolls; ++i) {
        auto state = xray.poll();
        if (!state) return fail("could not check Xray TUN readiness: " + state.error());
        if (*state) {
            return fail("Xray TUN engine exited before adapter was ready: " + xray_exit(platform, **state));
        }
        if (tunnel_interface_present(platform.tools)) return {};
        platform.clock.sleep_ms(kAdapterSleepMs);
    }
    return fail("Xray TUN adapter did not become ready");
}

Status wait_for_socks_port(Platform& platform, uint16_t port, ChildProcess& child,
                           std::string_view stdout_log, std::string_view stderr_log,
                           std::string_view label) {
    const std::string address = "127.0.0.1:" + std::to_string(port);
    const std::string name(label);
    for (int attempt = 0;; ++attempt) {
        if (attempt == kSocksAttempts) return fail(name + " engine did not open local SOCKS port " + address);
        if (platform.net.tcp_connect("127.0.0.1", port)) return {};
        auto state = child.poll();
        if (!state) return fail("could not check " + name + " engine startup: " + state.error());
        if (*state) {
            return fail(name + " engine exited before opening local SOCKS port " + address + ": " +
                        render_exit_status(**state) + exit_detail(platform, stdout_log, stderr_log));
        }
        platform.clock.sleep_ms(kSocksSleepMs);
    }
}

}  // namespace vorn
