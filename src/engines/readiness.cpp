#include "engines/readiness.h"

#include "common/exit_status.h"
#include "engines/engine.h"
#include "engines/log_tail.h"
#include "platform/poll.h"
#include "tunnel_core/tunnel_interface.h"

namespace vorn {

namespace {

constexpr PollSchedule kStartupWatch{50, 100};
constexpr PollSchedule kAdapterWait{120, 250};
constexpr PollSchedule kSocksWait{60, 100};

std::string xray_exit(Platform& platform, uint32_t code) {
    const EngineSpec& xray = xray_engine();
    return render_exit_status(code) + exit_detail(platform, xray.stdout_log, xray.stderr_log);
}

}  // namespace

Status watch_xray_startup(Platform& platform, ChildProcess& xray) {
    // Lived through every look: started.
    auto ended = poll_until(platform.clock, kStartupWatch, [&]() -> std::optional<Status> {
        auto state = xray.poll();
        if (!state) return fail("could not check Xray TUN startup: " + state.error());
        if (*state) return fail("Xray TUN engine exited during startup: " + xray_exit(platform, **state));
        return std::nullopt;
    });
    return ended.value_or(Status{});
}

Status wait_for_xray_adapter(Platform& platform, ChildProcess& xray) {
    auto ended = poll_until(platform.clock, kAdapterWait, [&]() -> std::optional<Status> {
        auto state = xray.poll();
        if (!state) return fail("could not check Xray TUN readiness: " + state.error());
        if (*state) {
            return fail("Xray TUN engine exited before adapter was ready: " + xray_exit(platform, **state));
        }
        if (tunnel_interface_present(platform.tools)) return Status{};
        return std::nullopt;
    });
    return ended.value_or(fail("Xray TUN adapter did not become ready"));
}

Status wait_for_socks_port(Platform& platform, uint16_t port, ChildProcess& child,
                           std::string_view stdout_log, std::string_view stderr_log,
                           std::string_view label) {
    const std::string address = "127.0.0.1:" + std::to_string(port);
    const std::string name(label);
    auto ended = poll_until(platform.clock, kSocksWait, [&]() -> std::optional<Status> {
        if (platform.net.tcp_connect("127.0.0.1", port)) return Status{};
        auto state = child.poll();
        if (!state) return fail("could not check " + name + " engine startup: " + state.error());
        if (*state) {
            return fail(name + " engine exited before opening local SOCKS port " + address + ": " +
                        render_exit_status(**state) + exit_detail(platform, stdout_log, stderr_log));
        }
        return std::nullopt;
    });
    return ended.value_or(fail(name + " engine did not open local SOCKS port " + address));
}

}  // namespace vorn
