#include "engines/port_guard.h"

#include <string>

namespace vorn {

namespace {

std::string address_of(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

std::string holder(uint32_t pid) {
    return pid == 0 ? "another process (the system does not say which)" : "process " + std::to_string(pid);
}

}  // namespace

Status check_ports_free(Platform& platform, const std::vector<uint16_t>& ports, std::string_view start_prefix) {
    const std::string prefix(start_prefix);
    for (uint16_t port : ports) {
        auto pids = platform.net.tcp_listener_pids(port);
        if (!pids) return fail(prefix + "could not check local port " + address_of(port) + ": " + pids.error());
        if (!pids->empty()) {
            return fail(prefix + "local port " + address_of(port) + " is already held by " + holder(pids->front()));
        }
    }
    return {};
}

Status check_port_owner(Platform& platform, uint16_t port, uint32_t engine_pid, std::string_view label) {
    const std::string name(label);
    auto pids = platform.net.tcp_listener_pids(port);
    if (!pids) return fail("could not check " + name + " engine local port " + address_of(port) + ": " + pids.error());
    for (uint32_t pid : *pids) {
        if (pid != 0 && pid != engine_pid) {
            return fail(name + " engine local port " + address_of(port) + " is held by " + holder(pid) +
                        ", not by the engine (process " + std::to_string(engine_pid) + ")");
        }
    }
    return {};
}

}  // namespace vorn
