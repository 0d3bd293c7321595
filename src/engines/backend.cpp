#include "engines/backend.h"

#include "engines/engine_launch.h"
#include "engines/engine_stop.h"
#include "engines/port_guard.h"
#include "engines/readiness.h"
#include "engines/xray_config.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

using nlohmann::json;

namespace {

const json& empty_object() {
    static const json empty = json::object();
    return empty;
}

const json& object_member(const json& value, const char* key) {
    if (!value.is_object()) return empty_object();
    auto it = value.find(key);
    return it == value.end() || !it->is_object() ? empty_object() : *it;
}

// host:port, an IPv6 literal unbracketed; an empty host when the request names none.
std::string server_address(const ServerEndpoint& server, uint64_t default_port) {
    return server.host.value_or("") + ":" + std::to_string(server.port.value_or(default_port));
}

std::string server_name(const ServerEndpoint& server) { return server.sni.value_or(server.host.value_or("")); }

json copied(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? json(nullptr) : *it;
}

}  // namespace

Result<Backend> select_backend(const ProductTunnelRequest& request) {
    switch (request.transport) {
        case Transport::Xray: return Backend::None;
        case Transport::Hysteria2: return Backend::Hysteria2;
        case Transport::Tuic: return Backend::Tuic;
        case Transport::Unknown: break;
    }
    return coded("PRODUCT_TUNNEL_BACKEND_NOT_INSTALLED",
                 normalized_transport(request.transport_text) + " is not supported by product tunnel");
}

BackendInfo backend_info(Backend backend) {
    if (backend == Backend::Hysteria2) return {&hysteria_engine(), kHysteriaSocksPort};
    return {&tuic_engine(), kTuicSocksPort};
}

json build_hysteria_config(const ProductTunnelRequest& request) {
    const json& user = object_member(request.config, "user");
    json password = copied(user, "password");
    return {{"auth", password.is_string() ? password : json("")},
            {"server", server_address(request.server, 8443)},
            {"socks5", {{"listen", "127.0.0.1:" + std::to_string(kHysteriaSocksPort)}}},
            {"tls", {{"insecure", request.server.allow_insecure}, {"sni", server_name(request.server)}}}};
}

json build_tuic_config(const ProductTunnelRequest& request) {
    const json& server = object_member(request.config, "server");
    const json& user = object_member(request.config, "user");
    json congestion = copied(server, "congestionControl");
    return {{"local", {{"server", "127.0.0.1:" + std::to_string(kTuicSocksPort)}}},
            {"log_level", "info"},
            {"relay",
             {{"alpn", server.contains("alpn") ? server["alpn"] : json::array({"h3"})},
              {"congestion_control", congestion.is_string() ? congestion : json("bbr")},
              {"disable_sni", false},
              {"password", copied(user, "password")},
              {"server", server_address(request.server, 443)},
              {"skip_cert_verify", request.server.allow_insecure},
              {"sni", server_name(request.server)},
              {"udp_relay_mode", "native"},
              {"uuid", copied(user, "uuid")},
              {"zero_rtt_handshake", false}}}};
}

Status start_backend(Platform& platform, const ProductTunnelRequest& request, UndoLog& undo) {
    auto backend = select_backend(request);
    if (!backend) return backend.failure();
    if (*backend == Backend::None) return {};
    const BackendInfo info = backend_info(*backend);
    const bool hysteria = *backend == Backend::Hysteria2;
    json config = hysteria ? build_hysteria_config(request) : build_tuic_config(request);
    auto args = [hysteria](const std::string& config_path) {
        return hysteria ? std::vector<std::string>{"client", "-c", config_path, "--disable-update-check"}
                        : std::vector<std::string>{"-c", config_path};
    };
    return start_socks_engine(platform, undo, *info.engine, info.engine->label, config, args, info.socks_port);
}

Status start_socks_engine(Platform& platform, UndoLog& undo, const EngineSpec& engine, std::string_view label,
                          const json& config, const std::function<std::vector<std::string>(const std::string&)>& args,
                          uint16_t socks_port, const std::vector<uint16_t>& other_ports) {
    const std::string name(label);
    if (auto written = write_engine_config(platform, engine.config_file, config, name); !written) return written;
    auto executable = locate_engine(engine, platform.env, platform.files);
    if (!executable) return executable.failure();
    const LaunchMessages messages = engine_launch_messages(name);
    std::vector<uint16_t> ports{socks_port};
    ports.insert(ports.end(), other_ports.begin(), other_ports.end());
    // Whoever holds our port would receive every tunnelled connection: no engine of this
    // connect is left running.
    if (auto free = check_ports_free(platform, ports, messages.start); !free) {
        (void)stop_engines(platform);
        return free;
    }
    auto launched = launch_engine(platform, *executable, args(runtime_file(platform.env, engine.config_file)),
                                  engine.stdout_log, engine.stderr_log, messages);
    if (!launched) return launched.failure();
    std::shared_ptr<ChildProcess> child = std::move(*launched);
    undo_engine_start(platform, undo, child, engine.pid_file);
    if (auto pid = write_engine_pid(platform, engine.pid_file, *child); !pid) {
        return fail("could not write " + name + " pid: " + pid.error());
    }
    if (auto open = wait_for_socks_port(platform, socks_port, *child, engine.stdout_log, engine.stderr_log, name);
        !open) {
        return open;
    }
    if (auto owned = check_port_owner(platform, socks_port, child->pid(), name); !owned) {
        (void)stop_engines(platform);
        return owned;
    }
    return {};
}

}  // namespace vorn
