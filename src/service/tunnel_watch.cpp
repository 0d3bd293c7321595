#include "service/tunnel_watch.h"

#include "common/exit_status.h"
#include "common/files.h"
#include "common/text.h"
#include "engines/engine.h"
#include "engines/log_tail.h"
#include "engines/pid_owner.h"
#include "service/service_main.h"
#include "split_tunnel/firewall.h"
#include "split_tunnel/split_session.h"
#include "tunnel/disconnect.h"
#include "tunnel/network_restore.h"
#include "tunnel_core/pid_files.h"
#include "tunnel_core/runtime_files.h"
#include "tunnel_core/status.h"
#include "tunnel_core/tunnel_interface.h"

namespace vorn {

namespace {

const EngineSpec& engine_of(std::string_view pid_file) {
    if (pid_file == tuic_engine().pid_file) return tuic_engine();
    if (pid_file == hysteria_engine().pid_file) return hysteria_engine();
    return xray_engine();
}

}  // namespace

void TunnelWatch::forget() {
    engines_.clear();
    full_ = false;
    route_.reset();
    next_try_ms_.reset();
    retries_done_ = 0;
}

void TunnelWatch::request_starting() { forget(); }

void TunnelWatch::tunnel_connected() {
    forget();
    for (const EnginePidFile& pid_file : kEnginePidFiles) {
        auto text = read_runtime_file(platform_, pid_file.file_name);
        if (!text || !*text) continue;
        auto pid = parse_u32_decimal(trim(**text));
        if (!pid || started_after_pid_file(platform_, *pid, runtime_file(platform_.env, pid_file.file_name))) continue;
        const EngineSpec& spec = engine_of(pid_file.file_name);
        std::string label(spec.label);
        if (&spec == &xray_engine()) label = split_session_active() ? "Xray split" : "Xray TUN";
        // A process that cannot be opened is already gone: the first turn reports it.
        engines_.push_back({label, spec.stdout_log, spec.stderr_log, platform_.processes.open(*pid)});
    }
    if (engines_.empty()) return;
    auto exceptions = read_runtime_file(platform_, kRouteExceptionsFileName);
    full_ = exceptions && *exceptions;
    if (!full_) return;
    if (auto route = find_default_route(platform_.tools)) route_ = *route;
    (void)platform_.net.routes_may_have_changed();  // our own connect's routes are no news
}

void TunnelWatch::idle_turn() {
    if (next_try_ms_) {
        retry();
        return;
    }
    if (engines_.empty()) return;
    check_engines();
    if (!engines_.empty()) check_routes();
}

void TunnelWatch::check_engines() {
    for (Engine& engine : engines_) {
        std::optional<uint32_t> exit_code;
        if (engine.process) {
            auto state = engine.process->poll();
            if (!state || !*state) continue;  // running (a failed look says nothing)
            exit_code = **state;
        }
        std::string what = engine.label + " exited";
        if (exit_code) what += " with " + render_exit_status(*exit_code);
        take_down(what + exit_detail(platform_, engine.stdout_log, engine.stderr_log));
        return;
    }
}

void TunnelWatch::check_routes() {
    if (!full_ || !platform_.net.routes_may_have_changed()) return;
    std::optional<std::string> table = route_table(platform_.tools);
    if (!table || !lists_tunnel_interface(*table)) {
        const EngineSpec& xray = xray_engine();
        take_down("Xray TUN adapter disappeared" + exit_detail(platform_, xray.stdout_log, xray.stderr_log));
        return;
    }
    // With no default route left the tunnel's routes stay as they are until the next change.
    auto route = find_default_route(platform_.tools);
    if (!route) return;
    if (route_ && route_->next_hop == route->next_hop && route_->interface_index == route->interface_index) {
        // The same gateway can come back without the host routes (a Wi-Fi re-association drops
        // them): the server's traffic would then loop into the tunnel. A failed add is tried
        // again on the next change.
        (void)restore_route_exceptions(platform_, *route, *table);
        return;
    }
    if (repoint_route_exceptions(platform_, *route)) route_ = *route;
}

void TunnelWatch::take_down(const std::string& what) {
    forget();
    // A disconnect elsewhere (the command line) forgets the saved request before it ends the
    // engines: that exit is no failure, and there is nothing to reconnect with.
    if (!file_exists(runtime_file(platform_.env, kReconnectPathFileName))) return;
    // Recorded first: the desktop application learns of it before the clean-up's tool runs.
    (void)write_status(platform_, failed_status(coded(std::string(kEngineExitedCode), what)));
    (void)take_down_product_tunnel(platform_, true);
    next_try_ms_ = platform_.clock.unix_time_ms() + kReconnectDelaysMs[0];
}

void TunnelWatch::retry() {
    if (platform_.clock.unix_time_ms() < *next_try_ms_) return;
    size_t done = retries_done_ + 1;
    std::optional<TunnelStatus> outcome = reconnect_saved_request(platform_);
    forget();
    if (!outcome) return;  // the saved request is gone
    if (outcome->status == TunnelState::Connected) {
        tunnel_connected();
        return;
    }
    if (done == kReconnectDelaysMs.size()) {
        // Tries spent: the last error stays recorded, and says so when the firewall still blocks.
        if (full_tunnel_firewall_present(platform_)) {
            (void)write_status(platform_, failed_status(traffic_blocked(outcome->message.value_or(""))));
        }
        return;
    }
    retries_done_ = done;
    next_try_ms_ = platform_.clock.unix_time_ms() + kReconnectDelaysMs[done];
}

}  // namespace vorn
