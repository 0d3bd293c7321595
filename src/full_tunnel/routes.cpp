#include "full_tunnel/routes.h"

#include <algorithm>

#include "common/exit_status.h"
#include "common/operator_settings.h"
#include "common/text.h"
#include "engines/engine.h"
#include "engines/log_tail.h"
#include "full_tunnel/route_exceptions.h"
#include "platform/poll.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

namespace {

constexpr PollSchedule kInterfaceWait{100, 100};
constexpr PollSchedule kRouteWait{30, 100};
constexpr uint32_t kRouteSettleMs = 1200;

}  // namespace

std::optional<std::string> resolve_route_host(Network& net, std::string_view host) {
    if (is_strict_ipv4(host)) return std::string(host);
    if (auto dashed = dashed_ipv4(host)) return dashed;
    // Only a canonical dotted quad ever becomes a `route` argument.
    std::optional<std::string> resolved = net.resolve_ipv4(std::string(host));
    if (resolved && !is_strict_ipv4(*resolved)) return std::nullopt;
    return resolved;
}

std::string tool_failure_detail(const ToolRun& run, const std::string& program) {
    std::string_view err = trim(run.err);
    if (!err.empty()) return std::string(err);
    std::string_view out = trim(run.out);
    if (!out.empty()) return std::string(out);
    return program + " exited with " + render_exit_status(run.exit_code);
}

Status run_network_command(ToolRunner& tools, const std::vector<std::string>& command) {
    if (command.empty()) return fail("empty network command");
    std::vector<std::string> args(command.begin() + 1, command.end());
    auto run = tools.run(command[0], args, ToolStdio::Capture);
    if (!run) return fail("could not run " + command[0] + ": " + run.error());
    if (run->exit_code == 0) return {};
    return fail("full tunnel network command failed: " + tool_failure_detail(*run, command[0]));
}

Status wait_for_full_tunnel_routes(Platform& platform) {
    auto ended = poll_until(platform.clock, kRouteWait, [&platform]() -> std::optional<Status> {
        auto low = platform.tools.run("route", {"print", "0.0.0.0"}, ToolStdio::Capture);
        if (!low) return fail("could not inspect full tunnel 0.0.0.0/1 route: " + low.error());
        auto high = platform.tools.run("route", {"print", "128.0.0.0"}, ToolStdio::Capture);
        if (!high) return fail("could not inspect full tunnel 128.0.0.0/1 route: " + high.error());
        if (lists_full_tunnel_routes(low->out, high->out)) return Status{};
        return std::nullopt;
    });
    if (!ended) return fail("full tunnel routes did not become active");
    if (*ended) platform.clock.sleep_ms(kRouteSettleMs);
    return *ended;
}

Result<DefaultRoute> find_default_route(ToolRunner& tools) {
    auto run = tools.run("powershell",
                         {"-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", std::string(kDefaultRouteScript)},
                         ToolStdio::Capture);
    if (!run) return fail("could not inspect Windows default route: " + run.error());
    if (run->exit_code != 0) {
        std::string_view err = trim(run->err);
        return fail("could not inspect Windows default route: " +
                    (err.empty() ? "powershell exited with " + render_exit_status(run->exit_code) : std::string(err)));
    }
    auto route = parse_default_route(run->out);
    if (!route) return fail("could not find Windows default route interface for VPN server exception");
    return *route;
}

std::vector<std::string> host_route_delete_args(const std::string& address, const std::optional<std::string>& next_hop) {
    std::vector<std::string> args = {"delete", address, "mask", std::string(kHostRouteNetmask)};
    if (next_hop) args.push_back(*next_hop);
    return args;
}

std::vector<std::string> exception_route_command(const std::string& address, const DefaultRoute& route) {
    return {"route", "add", address, "mask", std::string(kHostRouteNetmask), route.next_hop, "if", route.interface_index, "metric", "1"};
}

Status repoint_route_exceptions(Platform& platform, const DefaultRoute& route) {
    auto hosts = persisted_route_exceptions(platform);
    if (!hosts) return hosts.failure();
    std::optional<std::string> old_hop = persisted_exceptions_next_hop(platform);
    for (const std::string& host : *hosts) {
        run_quietly(platform.tools, "route", host_route_delete_args(host, old_hop));
        if (auto added = run_network_command(platform.tools, exception_route_command(host, route)); !added) return added;
    }
    if (auto kept = persist_exceptions_next_hop(platform, route.next_hop); !kept) {
        return fail("could not persist full tunnel route exceptions: " + kept.error());
    }
    return {};
}

Status restore_route_exceptions(Platform& platform, const DefaultRoute& route, std::string_view route_table) {
    auto hosts = persisted_route_exceptions(platform);
    if (!hosts) return hosts.failure();
    std::optional<std::string> recorded_hop = persisted_exceptions_next_hop(platform);
    const bool hop_changed = recorded_hop != route.next_hop;
    Status first_failure;
    for (const std::string& host : *hosts) {
        if (lists_route(route_table, host, kHostRouteNetmask, route.next_hop)) continue;
        // A host route left through the recorded next hop goes first, as a repoint takes it.
        if (hop_changed) run_quietly(platform.tools, "route", host_route_delete_args(host, recorded_hop));
        Status added = run_network_command(platform.tools, exception_route_command(host, route));
        if (!added && first_failure) first_failure = std::move(added);
    }
    // Every exception host route left now goes through the route's next hop.
    if (!hop_changed) return first_failure;
    if (auto kept = persist_exceptions_next_hop(platform, route.next_hop); !kept && first_failure) {
        return fail("could not persist full tunnel route exceptions: " + kept.error());
    }
    return first_failure;
}

static Result<std::string> find_tunnel_interface(Platform& platform, ChildProcess& xray) {
    const EngineSpec& engine = xray_engine();
    std::string error;  // what the last look found
    auto ended = poll_until(platform.clock, kInterfaceWait, [&]() -> std::optional<Result<std::string>> {
        auto state = xray.poll();
        if (!state) return fail("could not check Xray TUN interface startup: " + state.error());
        if (*state) {
            return fail("Xray TUN engine exited before creating interface: " + render_exit_status(**state) +
                        exit_detail(platform, engine.stdout_log, engine.stderr_log));
        }
        auto run = platform.tools.run("route", {"print"}, ToolStdio::Capture);
        if (!run) {
            error = "could not inspect Windows interface list: " + run.error();
        } else if (auto index = find_tunnel_interface_index(run->out)) {
            return *index;
        } else {
            error = "could not find Xray Tunnel interface index";
        }
        return std::nullopt;
    });
    return ended.value_or(fail(error));
}

Status configure_full_tunnel_routes(Platform& platform, const ProductTunnelRequest& request,
                                    const std::string& tun_name, ChildProcess& xray,
                                    const FullTunnelRouteHooks& hooks) {
    auto resolve = [&](std::string_view host) {
        return hooks.resolve ? hooks.resolve(host) : resolve_route_host(platform.net, host);
    };
    const std::optional<std::string>& server_host = request.server.host;
    if (!server_host) return fail("could not configure full tunnel: config server host is missing");

    std::vector<std::string> exceptions;
    auto add = [&](const std::string& address) {
        if (std::find(exceptions.begin(), exceptions.end(), address) == exceptions.end()) exceptions.push_back(address);
    };
    auto server = resolve(*server_host);
    if (!server) return fail("could not resolve VPN server route host from " + *server_host);
    add(*server);
    auto control = resolve(kControlPlaneHost);
    if (!control) return fail("could not resolve Vorn control-plane route host from " + std::string(kControlPlaneHost));
    add(*control);
    if (hooks.hosts_resolved) {
        if (auto done = hooks.hosts_resolved(*server, *control); !done) return done;
    }
    add("1.1.1.1");
    add("8.8.8.8");

    auto route = find_default_route(platform.tools);
    if (!route) return route.failure();
    auto index = find_tunnel_interface(platform, xray);
    if (!index) return index.failure();
    if (hooks.adapter_found) {
        if (auto done = hooks.adapter_found(*index); !done) return done;
    }

    auto rendered = render_route_exceptions(exceptions);
    if (!rendered) return rendered.failure();
    if (auto written = write_runtime_file(platform, kRouteExceptionsFileName, *rendered); !written) {
        return fail("could not persist full tunnel route exceptions: " + written.error());
    }
    if (auto written = persist_exceptions_next_hop(platform, route->next_hop); !written) {
        return fail("could not persist full tunnel route exceptions: " + written.error());
    }

    std::vector<std::vector<std::string>> commands;
    for (const std::string& address : exceptions) commands.push_back(exception_route_command(address, *route));
    std::string name = "name=" + tun_name;
    std::string tunnel(kTunnelAddress);
    commands.push_back({"netsh", "interface", "ip", "set", "address", name, "static", tunnel, std::string(kTunnelNetmask)});
    commands.push_back({"netsh", "interface", "ip", "set", "dns", name, "static", std::string(kTunnelDns), "primary"});
    commands.push_back({"route", "add", "0.0.0.0", "mask", "128.0.0.0", tunnel, "if", *index, "metric", "1"});
    commands.push_back({"route", "add", "128.0.0.0", "mask", "128.0.0.0", tunnel, "if", *index, "metric", "1"});
    for (const auto& command : commands) {
        if (auto done = run_network_command(platform.tools, command); !done) return done;
    }
    return wait_for_full_tunnel_routes(platform);
}

}  // namespace vorn
