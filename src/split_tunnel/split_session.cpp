#include "split_tunnel/split_session.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "common/json_record.h"
#include "common/text.h"
#include "engines/backend.h"
#include "engines/engine.h"
#include "engines/engine_stop.h"
#include "engines/xray_config.h"
#include "split_tunnel/driver_client.h"
#include "split_tunnel/firewall.h"
#include "split_tunnel/redirect_proxy.h"
#include "split_tunnel/wfp_cleanup.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

namespace {

// The one running redirect proxy of this process, between the connect that started it and the
// disconnect that stops it.
struct RuntimeSlot {
    std::mutex mutex;
    std::shared_ptr<SplitRuntime> runtime;
};

std::atomic<RuntimeSlot*> g_slot{nullptr};  // created on first use, never freed
std::once_flag g_slot_once;

RuntimeSlot& slot() {
    std::call_once(g_slot_once, [] { g_slot.store(new RuntimeSlot); });
    return *g_slot.load();
}

Status start_xray_split(Platform& platform, const ProductTunnelRequest& request, UndoLog& undo) {
    auto config = build_xray_split_config(request, runtime_directory(platform.env));
    auto args = [](const std::string& config_path) { return std::vector<std::string>{"run", "-config", config_path}; };
    return start_socks_engine(platform, undo, xray_engine(), "Xray split", config, args, kXraySplitSocksPort,
                              {kProbeHttpPort});
}

// Stops a redirect proxy this connect started, taking it out of the slot if it was stored.
void release_split_runtime(const std::shared_ptr<SplitRuntime>& mine) {
    {
        std::lock_guard lock(slot().mutex);
        if (slot().runtime == mine) slot().runtime.reset();
    }
    stop_redirect_listener(*mine);
}

uint16_t local_socks_port(Transport transport) {
    switch (transport) {
        case Transport::Hysteria2: return kHysteriaSocksPort;
        case Transport::Tuic: return kTuicSocksPort;
        case Transport::Xray:
        case Transport::Unknown: break;
    }
    return kXraySplitSocksPort;
}

}  // namespace

std::vector<uint32_t> match_root_processes(std::string_view listing, const std::vector<std::string>& applications) {
    std::vector<uint32_t> ids;
    nlohmann::json value = parse_untrusted_json(listing);
    if (value.is_object()) value = nlohmann::json::array({value});
    if (!value.is_array()) return ids;
    std::vector<std::string> wanted;
    for (const std::string& app : applications) wanted.push_back(to_ascii_lower(app));
    for (const auto& process : value) {
        if (!process.is_object()) continue;
        auto path = process.find("ExecutablePath");
        auto id = process.find("ProcessId");
        if (path == process.end() || !path->is_string()) continue;
        std::string lowered = to_ascii_lower(path->get<std::string>());
        if (std::find(wanted.begin(), wanted.end(), lowered) == wanted.end()) continue;
        if (id == process.end() || !id->is_number_integer() || (!id->is_number_unsigned() && id->get<int64_t>() < 0) ||
            id->get<uint64_t>() > UINT32_MAX) {
            continue;
        }
        ids.push_back(static_cast<uint32_t>(id->get<uint64_t>()));
    }
    return ids;
}

std::vector<uint32_t> find_tracked_root_processes(ToolRunner& tools, const std::vector<std::string>& applications) {
    auto run = tools.run("powershell.exe", {"-NoProfile", "-NonInteractive", "-Command", std::string(kProcessQueryScript)},
                         ToolStdio::Capture);
    if (!run || run->exit_code != 0) return {};
    return match_root_processes(run->out, applications);
}

Result<std::string> start_split_session(Platform& platform, const ProductTunnelRequest& request, UndoLog& undo) {
    if (auto removed = remove_wfp_objects(platform); !removed) return removed.failure();
    stop_split_session(platform);
    (void)stop_engines(platform);
    std::vector<std::string> applications = split_policy_app_paths(request);

    if (request.transport == Transport::Xray) {
        if (auto started = start_xray_split(platform, request, undo); !started) return started.failure();
    } else if (auto started = start_backend(platform, request, undo); !started) {
        return started.failure();
    }

    Endpoint upstream;
    upstream.address = {127, 0, 0, 1};
    upstream.port = local_socks_port(request.transport);
    auto proxy = start_redirect_listener(platform.sockets, platform.redirect_context, upstream);
    if (!proxy) return proxy.failure();
    std::shared_ptr<SplitRuntime> runtime = std::move(*proxy);
    undo.add([runtime] { release_split_runtime(runtime); });

    std::vector<uint32_t> roots = find_tracked_root_processes(platform.tools, applications);
    auto policy = build_redirect_policy(applications, platform.env.current_process_id(), runtime->port());
    if (policy.ok()) policy = attach_root_processes(std::move(*policy), std::move(roots));
    if (!policy.ok()) {
        stop_redirect_listener(*runtime);
        return policy.failure();
    }
    auto applied = apply_redirect_policy({platform.driver_service, platform.driver, platform.clock}, *policy);
    if (!applied.ok()) {
        stop_redirect_listener(*runtime);
        (void)stop_engines(platform);
        return applied.failure();
    }
    // Until the connect has succeeded, the driver must not keep bending the applications to us.
    undo.add([&platform] { (void)clear_redirect_policy(platform.driver); });
    // Their QUIC would pass beside the tunnel: blocked, they fall back to TCP, which is bent.
    if (auto blocked = install_split_quic_block(platform, applications); !blocked) {
        stop_redirect_listener(*runtime);
        (void)stop_engines(platform);
        return blocked.failure();
    }
    undo.add([&platform] { (void)remove_wfp_objects(platform); });

    std::lock_guard lock(slot().mutex);
    if (slot().runtime) stop_redirect_listener(*slot().runtime);
    slot().runtime = std::move(runtime);
    auto diagnostics = query_driver_diagnostics(platform.driver);
    if (!diagnostics.ok()) return diagnostics.failure();
    return "Vorn transparent split tunnel started over " + request.transport_text +
           " (TCP redirect active; UDP remains direct until UDP relay is implemented; tracked processes: " +
           std::to_string(diagnostics->tracked_processes) + ")";
}

void stop_split_session(Platform& platform) {
    (void)clear_redirect_policy(platform.driver);
    if (g_slot.load() == nullptr) return;
    std::shared_ptr<SplitRuntime> runtime;
    std::lock_guard lock(slot().mutex);
    runtime = std::move(slot().runtime);
    if (runtime) stop_redirect_listener(*runtime);
}

bool split_session_active() {
    if (g_slot.load() == nullptr) return false;
    std::lock_guard lock(slot().mutex);
    return slot().runtime != nullptr;
}

}  // namespace vorn
