#include "tunnel/connect.h"

#include "common/files.h"
#include "common/json_record.h"
#include "common/operator_settings.h"
#include "common/text.h"
#include "engines/backend.h"
#include "engines/engine.h"
#include "engines/engine_launch.h"
#include "engines/engine_stop.h"
#include "engines/port_guard.h"
#include "engines/readiness.h"
#include "engines/xray_config.h"
#include "full_tunnel/probes.h"
#include "full_tunnel/routes.h"
#include "full_tunnel/wintun.h"
#include "full_tunnel/wintun_copy.h"
#include "split_tunnel/firewall.h"
#include "split_tunnel/split_session.h"
#include "split_tunnel/wfp_cleanup.h"
#include "tunnel/disconnect.h"
#include "tunnel/network_restore.h"
#include "tunnel_core/conflicting_vpn.h"
#include "tunnel_core/request.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

std::string tun_interface_name(Clock& clock) { return "VornVPN-" + std::to_string(clock.unix_time_ms()); }

namespace {

// The address a host resolved to at the connect that saved it, when it is a plain dotted quad.
std::optional<std::string> saved_address(Platform& platform, std::string_view host) {
    auto text = read_runtime_file(platform, kResolvedHostsFileName);
    if (!text || !*text) return std::nullopt;
    nlohmann::json saved = parse_untrusted_json(**text);
    if (!saved.is_object()) return std::nullopt;
    auto found = saved.find(std::string(host));
    if (found == saved.end() || !found->is_string() || !is_strict_ipv4(found->get<std::string>())) return std::nullopt;
    return found->get<std::string>();
}

// The engines a full connect starts: Xray, and the backend its transport needs.
std::vector<std::string> launched_engine_paths(Platform& platform, const ProductTunnelRequest& request,
                                               const std::string& xray_path) {
    std::vector<std::string> paths = {xray_path};
    auto backend = select_backend(request);
    if (backend && *backend != Backend::None) {
        if (auto path = locate_engine(*backend_info(*backend).engine, platform.env, platform.files)) paths.push_back(*path);
    }
    return paths;
}

// The firewall goes up in two steps before any route: once the hosts are resolved (the engines,
// the control plane and the local network only), and again with the adapter once it exists.
FullTunnelRouteHooks firewall_hooks(Platform& platform, const ProductTunnelRequest& request, const std::string& xray_path,
                                    UndoLog& undo, const ConnectGuard& guard,
                                    std::shared_ptr<FullTunnelFirewall> plan) {
    FullTunnelRouteHooks hooks;
    hooks.resolve = [&platform, guard](std::string_view host) {
        auto address = resolve_route_host(platform.net, host);
        if (!address && guard.firewall_held) return saved_address(platform, host);
        return address;
    };
    hooks.hosts_resolved = [&platform, &request, &undo, guard, plan, xray_path](const std::string& server,
                                                                               const std::string& control) -> Status {
        const std::string server_host = request.server.host.value_or("");
        nlohmann::json hosts = {{server_host, server}, {std::string(kControlPlaneHost), control}};
        (void)write_runtime_file(platform, kResolvedHostsFileName, hosts.dump(2));
        plan->engine_paths = launched_engine_paths(platform, request, xray_path);
        plan->control_plane_address = control;
        if (guard.firewall_held) {
            // It keeps blocking after a failure, without an adapter that is gone by then.
            undo.add([&platform] { (void)withdraw_adapter_permit(platform); });
        } else {
            undo.add([&platform] { (void)remove_wfp_objects(platform); });
        }
        return install_full_tunnel_firewall(platform, *plan);
    };
    hooks.adapter_found = [&platform, plan](const std::string& index) -> Status {
        auto parsed = parse_u32_decimal(index);
        if (!parsed) return fail(std::string(kFirewallFailure) + "the tunnel adapter's index " + index + " is not a number");
        plan->adapter_index = *parsed;
        return install_full_tunnel_firewall(platform, *plan);
    };
    return hooks;
}

// Xray's TUN configuration written and checked, with wintun.dll beside the engine; the engine's
// executable.
Result<std::string> prepare_xray_tun(Platform& platform, const ProductTunnelRequest& request,
                                     const std::string& tun_name, const std::string& wintun_path) {
    nlohmann::json config = build_xray_tun_config(request, runtime_directory(platform.env), tun_name);
    const EngineSpec& xray = xray_engine();
    auto executable = locate_engine(xray, platform.env, platform.files);
    if (!executable) return executable.failure();
    if (auto copied = copy_wintun_next_to_xray(platform, *executable, wintun_path); !copied) return copied.failure();
    if (auto written = write_engine_config(platform, xray.config_file, config, xray.label); !written) {
        return written.failure();
    }
    if (auto valid = validate_xray_tun_config(config); !valid) return valid.failure();
    return executable;
}

// The routes around the running engine, then the probes through it. A failure stops the engines
// and restores the network.
Status route_and_probe_full_tunnel(Platform& platform, const ProductTunnelRequest& request,
                                   const std::string& tun_name, const std::string& xray_path, ChildProcess& engine,
                                   UndoLog& undo, const ConnectGuard& guard) {
    auto plan = std::make_shared<FullTunnelFirewall>();
    FullTunnelRouteHooks hooks = firewall_hooks(platform, request, xray_path, undo, guard, plan);
    if (auto routed = configure_full_tunnel_routes(platform, request, tun_name, engine, hooks); !routed) {
        (void)stop_engines(platform);
        restore_full_tunnel_network(platform);
        return routed.failure();
    }
    const std::optional<std::string>& host = request.server.host;
    if (!host) {
        // No cleanup of its own here, but the routes just made must not outlive the engines.
        undo.add([&platform] { restore_full_tunnel_network(platform); });
        return fail("could not configure full tunnel: config server host is missing");
    }
    if (auto probed = probe_full_tunnel(platform, *host); !probed) {
        (void)stop_engines(platform);
        restore_full_tunnel_network(platform);
        return probed.failure();
    }
    return {};
}

// The full tunnel around the Xray TUN engine. The Wintun library is released on every return;
// what the engines and routes need undone on a later failure is registered in `undo`.
Result<TunnelStatus> connect_full_tunnel(Platform& platform, const ProductTunnelRequest& request, UndoLog& undo,
                                         const ConnectGuard& guard) {
    // The loader's codes stop here: only its message is reported.
    auto located = locate_wintun_dll(platform);
    if (!located) return fail(located.error());
    auto wintun = load_wintun(platform, *located);
    if (!wintun) return fail(wintun.error());

    // A standing firewall is replaced whole once the hosts are resolved, never purged first.
    if (!guard.firewall_held) {
        if (auto removed = remove_wfp_objects(platform); !removed) return removed.failure();
    }
    const std::string tun_name = tun_interface_name(platform.clock);
    auto executable = prepare_xray_tun(platform, request, tun_name, *located);
    if (!executable) return executable.failure();
    const EngineSpec& xray = xray_engine();
    const std::string config_path = runtime_file(platform.env, xray.config_file);

    (void)stop_engines(platform);  // no engine of an earlier connection may survive
    wait_for_tunnel_interface_gone(platform);

    if (auto backend = start_backend(platform, request, undo); !backend) return backend.failure();
    const LaunchMessages messages = xray_tun_launch_messages();
    if (auto free = check_ports_free(platform, {kProbeHttpPort}, messages.start); !free) {
        (void)stop_engines(platform);  // the backend started above
        return free.failure();
    }
    auto launched = launch_engine(platform, *executable, {"run", "-config", config_path}, xray.stdout_log,
                                  xray.stderr_log, messages);
    if (!launched) return launched.failure();
    std::shared_ptr<ChildProcess> child = std::move(*launched);
    undo_engine_start(platform, undo, child, xray.pid_file);
    ChildProcess& engine = *child;
    if (auto watched = watch_xray_startup(platform, engine); !watched) {
        (void)stop_engines(platform);
        return watched.failure();
    }
    if (auto ready = wait_for_xray_adapter(platform, engine); !ready) {
        (void)stop_engines(platform);
        return ready.failure();
    }
    // The probes go through the HTTP inbound: it must be Xray's own by now.
    if (auto owned = check_port_owner(platform, kProbeHttpPort, engine.pid(), xray.label); !owned) {
        (void)stop_engines(platform);
        return owned.failure();
    }
    if (auto pid = write_engine_pid(platform, xray.pid_file, engine); !pid) {
        return fail("could not write Xray TUN pid: " + pid.error());
    }
    if (request.mode == TunnelMode::Full) {
        if (auto routed = route_and_probe_full_tunnel(platform, request, tun_name, *executable, engine, undo, guard);
            !routed) {
            return routed.failure();
        }
    }
    return make_status(TunnelState::Connected, "Vorn product tunnel started in " + request.tunnel_mode_text +
                                                   " mode over " + request.transport_text);
}

}  // namespace

Result<TunnelStatus> connect_product_tunnel(Platform& platform, const std::string& request_path) {
    return connect_product_tunnel(platform, request_path, [](const std::string& path) {
        return read_file_at_most(path, kRequestFileLimitBytes, kRequestFileTooLarge);
    });
}

Result<TunnelStatus> connect_product_tunnel(Platform& platform, const std::string& request_path,
                                            const RequestBytesReader& read) {
    UndoLog undo;
    auto connected = connect_product_tunnel(platform, request_path, read, undo);
    if (connected) {
        undo.keep();
    } else {
        undo.run();
    }
    return connected;
}

Result<TunnelStatus> connect_product_tunnel(Platform& platform, const std::string& request_path,
                                            const RequestBytesReader& read, UndoLog& undo, const ConnectGuard& guard) {
    restore_full_tunnel_network(platform);
    auto request = read_product_tunnel_request(request_path, read);
    if (!request) return request.failure();
    if (auto made = secure_runtime_directory(platform, true, "could not create product tunnel runtime dir: ");
        !made) {
        return made.failure();
    }
    if (auto clear = check_conflicting_vpn(platform.tools); !clear) return clear.failure();
    if (request->mode == TunnelMode::Split) {
        auto started = start_split_session(platform, *request, undo);
        if (!started) return started.failure();
        return make_status(TunnelState::Connected, *started);
    }
    return connect_full_tunnel(platform, *request, undo, guard);
}

}  // namespace vorn
