#include "full_tunnel/routes.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "common/exit_status.h"
#include "common/files.h"
#include "common/json_record.h"
#include "common/operator_settings.h"
#include "common/text.h"
#include "engines/engine.h"
#include "engines/log_tail.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

using nlohmann::json;

namespace {

constexpr int kInterfaceAttempts = 100;
constexpr uint32_t kInterfaceSleepMs = 100;
constexpr int kRouteWaitAttempts = 30;
constexpr uint32_t kRouteWaitSleepMs = 100;
constexpr uint32_t kRouteSettleMs = 1200;

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

bool all_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// An unsigned 8-bit number: digits with an optional "+", leading zeros allowed.
bool is_u8(std::string_view part) {
    if (!part.empty() && part.front() == '+') part.remove_prefix(1);
    if (!all_digits(part)) return false;
    auto value = parse_u32_decimal(part);
    return value.ok() && *value <= 255;
}

std::optional<std::string> index_text(const json& value) {
    if (value.is_number_unsigned()) return std::to_string(value.get<uint64_t>());
    if (value.is_number_integer() && value.get<int64_t>() >= 0) return std::to_string(value.get<int64_t>());
    if (value.is_string() && !value.get<std::string>().empty()) return value.get<std::string>();
    return std::nullopt;
}

}  // namespace

bool is_strict_ipv4(std::string_view text) {
    if (text.size() > 15) return false;
    std::vector<std::string> parts = split(text, '.');
    if (parts.size() != 4) return false;
    for (const std::string& part : parts) {
        if (!all_digits(part) || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
        if (std::stoi(part) > 255) return false;
    }
    return true;
}

std::optional<std::string> dashed_ipv4(std::string_view host) {
    if (host.size() >= kWildcardDnsSuffix.size() &&
        host.substr(host.size() - kWildcardDnsSuffix.size()) == kWildcardDnsSuffix) {
        host.remove_suffix(kWildcardDnsSuffix.size());
    }
    std::vector<std::string> parts = split(host, '-');
    if (parts.size() != 4) return std::nullopt;
    std::string address;
    for (std::string& part : parts) {
        if (!is_u8(part)) return std::nullopt;
        // The canonical decimal form: "010" could read as octal to `route`, and the exception
        // list keeps only canonical quads, so its delete would never come.
        if (!address.empty()) address += ".";
        address += std::to_string(*parse_u32_decimal(part));
    }
    return address;
}

std::optional<std::string> resolve_route_host(Network& net, std::string_view host) {
    if (is_strict_ipv4(host)) return std::string(host);
    if (auto dashed = dashed_ipv4(host)) return dashed;
    // Only a canonical dotted quad ever becomes a `route` argument.
    std::optional<std::string> resolved = net.resolve_ipv4(std::string(host));
    if (resolved && !is_strict_ipv4(*resolved)) return std::nullopt;
    return resolved;
}

std::optional<DefaultRoute> parse_default_route(std::string_view output) {
    json value = parse_untrusted_json(trim(output));
    if (value.is_array()) {
        if (value.empty()) return std::nullopt;
        value = value[0];
    }
    if (!value.is_object()) return std::nullopt;
    auto hop = value.find("NextHop");
    if (hop == value.end() || !hop->is_string()) return std::nullopt;
    std::string next_hop = hop->get<std::string>();
    if (next_hop.empty() || next_hop == "0.0.0.0") return std::nullopt;
    auto index = value.find("IfIndex");
    if (index == value.end()) index = value.find("ifIndex");
    if (index == value.end()) return std::nullopt;
    std::optional<std::string> text = index_text(*index);
    if (!text) return std::nullopt;
    return DefaultRoute{next_hop, *text};
}

std::optional<std::string> find_tunnel_interface_index(std::string_view output) {
    for (const std::string& line : split_lines(output)) {
        if (!contains(line, kTunnelInterfaceDescription)) continue;
        std::string_view index = trim(std::string_view(line).substr(0, line.find('.')));
        if (all_digits(index)) return std::string(index);
    }
    return std::nullopt;
}

Result<std::string> render_route_exceptions(const std::vector<std::string>& addresses) {
    try {
        return json(addresses).dump();
    } catch (const json::exception& e) {
        return fail(std::string("could not serialize full tunnel route exceptions: ") + e.what());
    }
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
    for (int attempt = 0; attempt < kRouteWaitAttempts; ++attempt) {
        auto low = platform.tools.run("route", {"print", "0.0.0.0"}, ToolStdio::Capture);
        if (!low) return fail("could not inspect full tunnel 0.0.0.0/1 route: " + low.error());
        auto high = platform.tools.run("route", {"print", "128.0.0.0"}, ToolStdio::Capture);
        if (!high) return fail("could not inspect full tunnel 128.0.0.0/1 route: " + high.error());
        if (lists_full_tunnel_routes(low->out, high->out)) {
            platform.clock.sleep_ms(kRouteSettleMs);
            return {};
        }
        platform.clock.sleep_ms(kRouteWaitSleepMs);
    }
    return fail("full tunnel routes did not become active");
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

std::optional<std::string> persisted_exceptions_next_hop(Platform& platform) {
    auto text = read_runtime_file(platform, kRouteExceptionsNextHopFileName);
    if (!text || !*text) return std::nullopt;
    std::string hop(trim(**text));
    if (!is_strict_ipv4(hop)) return std::nullopt;
    return hop;
}

Status persist_exceptions_next_hop(Platform& platform, const std::string& next_hop) {
    return write_runtime_file(platform, kRouteExceptionsNextHopFileName, next_hop);
}

std::vector<std::string> exception_route_command(const std::string& address, const DefaultRoute& route) {
    return {"route", "add", address, "mask", std::string(kHostRouteNetmask), route.next_hop, "if", route.interface_index, "metric", "1"};
}

std::vector<std::string> listed_route_exceptions(std::string_view exceptions_text) {
    json list = parse_untrusted_json(exceptions_text);
    std::vector<std::string> hosts;
    if (!list.is_array() || !std::all_of(list.begin(), list.end(), [](const json& v) { return v.is_string(); })) {
        return hosts;
    }
    for (const json& v : list) {
        // An option word as a `route delete` argument would delete far more than one host route.
        std::string host = v.get<std::string>();
        if (is_strict_ipv4(host) && std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.push_back(host);
    }
    return hosts;
}

static Result<std::vector<std::string>> persisted_route_exceptions(Platform& platform) {
    auto text = read_runtime_file(platform, kRouteExceptionsFileName);
    if (!text) return fail("could not read full tunnel route exceptions: " + text.error());
    if (!*text) return fail("could not read full tunnel route exceptions: there are none");
    return listed_route_exceptions(**text);
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
    std::string error;
    for (int attempt = 0; attempt < kInterfaceAttempts; ++attempt) {
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
        platform.clock.sleep_ms(kInterfaceSleepMs);
    }
    return fail(error);
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
