// Drives single operations with the real Win32 adapters, for the Wine tests:
//
//   engine_probe launch <hysteria|tuic> REQUEST  start the backend engine, record its pid, exit
//   engine_probe xray REQUEST                    Wintun, the TUN document, Xray started, watched,
//                                                its adapter awaited
//   engine_probe start-backend REQUEST           the backend start with its port wait
//   engine_probe routes REQUEST                  as xray, then the full-tunnel routes
//   engine_probe probe REQUEST                   as xray, then the HTTPS probes
//   engine_probe wintun                          locate and load the Wintun DLL
//   engine_probe wfp                             remove the product's WFP objects
//   engine_probe conflict                        the conflicting-VPN preflight
//
// Prints "ok" (or, for wintun, the path used) or the failure message; exits 0 or 1.

#include <iostream>

#include "common/files.h"
#include "engines/backend.h"
#include "engines/engine.h"
#include "engines/engine_launch.h"
#include "engines/readiness.h"
#include "engines/xray_config.h"
#include "full_tunnel/probes.h"
#include "full_tunnel/routes.h"
#include "full_tunnel/wintun.h"
#include "full_tunnel/wintun_copy.h"
#include "platform/win32/handle.h"
#include "platform/win32/win32_platform.h"
#include "split_tunnel/wfp_cleanup.h"
#include "tunnel_core/conflicting_vpn.h"
#include "tunnel_core/request.h"
#include "tunnel_core/runtime_files.h"
#include "tunnel_core/status.h"

using namespace vorn;

namespace {

int report(const Status& status) {
    std::cout << (status.ok() ? "ok" : status.rendered()) << "\n";
    return status.ok() ? 0 : 1;
}

Status launch_backend(Platform& p, const std::string& which, const ProductTunnelRequest& request) {
    bool hysteria = which == "hysteria";
    const EngineSpec& engine = hysteria ? hysteria_engine() : tuic_engine();
    auto config = hysteria ? build_hysteria_config(request) : build_tuic_config(request);
    if (auto w = write_engine_config(p, engine.config_file, config, engine.label); !w) return w;
    auto exe = locate_engine(engine, p.env, p.files);
    if (!exe) return exe.failure();
    std::string path = runtime_file(p.env, engine.config_file);
    std::vector<std::string> args = hysteria ? std::vector<std::string>{"client", "-c", path, "--disable-update-check"}
                                             : std::vector<std::string>{"-c", path};
    auto child = launch_engine(p, *exe, args, engine.stdout_log, engine.stderr_log,
                               engine_launch_messages(engine.label));
    if (!child) return child.failure();
    return write_engine_pid(p, engine.pid_file, **child);
}

Result<std::unique_ptr<ChildProcess>> start_xray(Platform& p, const ProductTunnelRequest& request,
                                                 const std::string& tun_name) {
    const EngineSpec& xray = xray_engine();
    auto wintun = locate_wintun_dll(p);
    if (!wintun) return fail(wintun.error());
    auto config = build_xray_tun_config(request, runtime_directory(p.env), tun_name);
    auto exe = locate_engine(xray, p.env, p.files);
    if (!exe) return exe.failure();
    if (auto copied = copy_wintun_next_to_xray(p, *exe, *wintun); !copied) return copied.failure();
    if (auto w = write_file(runtime_file(p.env, xray.config_file), config.dump(2)); !w) {
        return fail("could not write Xray TUN config: " + w.error());
    }
    if (auto v = validate_xray_tun_config(config); !v) return v.failure();
    auto child = launch_engine(p, *exe, {"run", "-config", runtime_file(p.env, xray.config_file)}, xray.stdout_log,
                               xray.stderr_log, xray_tun_launch_messages());
    if (!child) return child.failure();
    if (auto w = write_engine_pid(p, xray.pid_file, **child); !w) return fail("could not write Xray TUN pid: " + w.error());
    if (auto watched = watch_xray_startup(p, **child); !watched) return watched.failure();
    if (auto ready = wait_for_xray_adapter(p, **child); !ready) return ready.failure();
    return std::move(*child);
}

int run(Platform& p, const std::vector<std::string>& args) {
    const std::string& verb = args[0];
    if (verb == "wfp") return report(remove_wfp_objects(p));
    if (verb == "conflict") return report(check_conflicting_vpn(p.tools));
    if (verb == "wintun") {
        auto located = locate_wintun_dll(p);
        if (!located) return report(fail(located.error()));
        auto loaded = load_wintun(p, *located);
        if (!loaded) return report(fail(loaded.error()));
        std::cout << *located << "\n";
        return 0;
    }
    if (args.size() < 2) return 2;
    auto request = read_product_tunnel_request(args.back());
    if (!request) return report(request.failure());
    if (verb == "launch" && args.size() == 3) return report(launch_backend(p, args[1], *request));
    if (verb == "start-backend") {
        UndoLog undo;  // what it started is left running, as the tests expect
        Status started = start_backend(p, *request, undo);
        undo.keep();
        return report(started);
    }
    std::string tun_name = "VornVPN-" + std::to_string(p.clock.unix_time_ms());
    auto xray = start_xray(p, *request, tun_name);
    if (!xray) return report(xray.failure());
    if (verb == "xray") return report({});
    if (verb == "routes") return report(configure_full_tunnel_routes(p, *request, tun_name, **xray));
    if (verb == "probe") return report(probe_full_tunnel(p, request->server.host.value_or("")));
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    win32::restrict_dll_search();
    win32::use_binary_console_streams();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(win32::from_wide(argv[i]));
    if (args.empty()) return 2;
    win32::Win32Adapters adapters;
    Platform p = adapters.platform(std::cout, std::cerr);
    if (auto made = secure_runtime_directory(p, true, "could not create product tunnel runtime dir: "); !made) {
        return report(made);
    }
    return run(p, args);
}
