#include "service/live_status.h"

#include "common/files.h"
#include "common/text.h"
#include "engines/pid_owner.h"
#include "split_tunnel/firewall.h"
#include "tunnel/network_restore.h"
#include "tunnel_core/pid_files.h"
#include "tunnel_core/process_list.h"
#include "tunnel_core/runtime_files.h"
#include "tunnel_core/tunnel_interface.h"

namespace vorn {

bool lists_xray_image(std::string_view tasklist_output) {
    for (const std::string& line : split_lines(tasklist_output)) {
        auto field = first_csv_field(line);
        if (field && equals_ignore_ascii_case(*field, "xray.exe")) return true;
    }
    return false;
}

static bool any_engine_running(Platform& platform) {
    for (const EnginePidFile& pid_file : kEnginePidFiles) {
        std::string path = runtime_file(platform.env, pid_file.file_name);
        auto text = read_runtime_file(platform, pid_file.file_name);
        if (!text || !*text) continue;
        auto pid = parse_u32_decimal(trim(**text));
        if (!pid || started_after_pid_file(platform, *pid, path)) continue;
        if (is_process_running(platform.tools, *pid)) return true;
    }
    return false;
}

static bool xray_with_tunnel_route(Platform& platform) {
    auto tasks = platform.tools.run(
        "tasklist", {"/FI", "IMAGENAME eq xray.exe", "/FO", "CSV", "/NH"}, ToolStdio::Capture);
    if (!tasks || tasks->exit_code != 0 || !lists_xray_image(tasks->out)) return false;
    auto routes = platform.tools.run("route", {"print", "128.0.0.0"}, ToolStdio::Capture);
    return routes && routes->exit_code == 0 && has_tunnel_route(routes->out);
}

LiveStatus query_live_status(Platform& platform) {
    std::optional<TunnelStatus> saved = read_status(platform);
    bool saved_connected = saved && saved->status == TunnelState::Connected;

    if (any_engine_running(platform) || xray_with_tunnel_route(platform)) {
        if (saved_connected) return {*saved, false};
        return {make_status(TunnelState::Connected, "Vorn product tunnel process is running"), false};
    }

    TunnelStatus result;
    if (!saved) {
        result = make_status(TunnelState::Idle, "Vorn product tunnel service is idle");
    } else if (saved_connected) {
        result = make_status(TunnelState::Idle, "Vorn product tunnel process is not running");
    } else {
        result = *saved;
    }
    // The tunnel is dead but its firewall still blocks: never "idle" while nothing gets out.
    if (!starts_with(result.message.value_or(""), kTrafficBlockedCode) && full_tunnel_firewall_present(platform)) {
        std::string why = result.status == TunnelState::Error && result.message ? *result.message
                                                                                : "Vorn product tunnel process is not running";
        result = failed_status(traffic_blocked(why));
    }
    return {result, true};
}

void repair_dead_tunnel(Platform& platform, const LiveStatus& live) {
    if (!live.tunnel_gone) return;
    for (const EnginePidFile& pid_file : kEnginePidFiles) {
        remove_file(runtime_file(platform.env, pid_file.file_name));
    }
    restore_full_tunnel_network(platform);
    (void)write_status(platform, live.report);
}

}  // namespace vorn
