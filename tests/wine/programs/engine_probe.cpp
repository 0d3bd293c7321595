// Drives the engine operations with the real Win32 adapters, for the Wine tests:
//
//   engine_probe launch <hysteria|tuic> REQUEST   start the backend engine, record its pid, exit
//   engine_probe xray REQUEST WINTUN              write the TUN document, start Xray, watch it
//                                                 and wait for its adapter
//   engine_probe start-backend REQUEST            the whole backend start with its port wait
//
// Prints "ok" or the failure message as one line; exits 0 or 1.

#include <iostream>

#include "common/files.h"
#include "engines/backend.h"
#include "engines/engine.h"
#include "engines/readiness.h"
#include "engines/xray_config.h"
#include "platform/win32/handle.h"
#include "platform/win32/win32_platform.h"
#include "service/status.h"
#include "tunnel/request.h"

using namespace vorn;

namespace {

int report(const Status& status) {
    std::cout << (status.ok() ? "ok" : status.error()) << "\n";
    return status.ok() ? 0 : 1;
}

Status launch_backend(Platform& p, const std::string& which, const ProductTunnelRequest& request) {
    bool hysteria = which == "hysteria";
    const EngineSpec& engine = hysteria ? hysteria_engine() : tuic_engine();
    auto config = hysteria ? build_hysteria_config(request) : build_tuic_config(request);
    if (auto w = write_engine_config(p.env, engine.config_file, config, engine.label); !w) return w;
    auto exe = locate_engine(engine, p.env);
    if (!exe) return exe.failure();
    std::string path = runtime_file(p.env, engine.config_file);
    std::vector<std::string> args = hysteria ? std::vector<std::string>{"client", "-c", path, "--disable-update-check"}
                                             : std::vector<std::string>{"-c", path};
    auto child = launch_engine(p, *exe, args, engine.stdout_log, engine.stderr_log,
                               engine_launch_messages(engine.label));
    if (!child) return child.failure();
    return write_engine_pid(p.env, engine.pid_file, **child);
}

Status start_xray(Platform& p, const ProductTunnelRequest& request, const std::string& wintun) {
    const EngineSpec& xray = xray_engine();
    auto config = build_xray_tun_config(request, runtime_directory(p.env), "VornVPN-" + std::to_string(p.clock.unix_time_ms()));
    auto exe = locate_engine(xray, p.env);
    if (!exe) return exe.failure();
    if (auto copied = copy_wintun_next_to_xray(*exe, wintun); !copied) return copied;
    if (auto w = write_file(runtime_file(p.env, xray.config_file), config.dump(2)); !w) {
        return fail("could not write Xray TUN config: " + w.error());
    }
    if (auto v = validate_xray_tun_config(config); !v) return v;
    auto child = launch_engine(p, *exe, {"run", "-config", runtime_file(p.env, xray.config_file)}, xray.stdout_log,
                               xray.stderr_log, xray_tun_launch_messages());
    if (!child) return child.failure();
    if (auto w = write_engine_pid(p.env, xray.pid_file, **child); !w) return fail("could not write Xray TUN pid: " + w.error());
    if (auto watched = watch_xray_startup(p, **child); !watched) return watched;
    return wait_for_xray_adapter(p, **child);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    win32::use_binary_console_streams();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(win32::from_wide(argv[i]));
    win32::Win32Environment env;
    win32::Win32ToolRunner tools;
    win32::Win32Clock clock;
    win32::Win32ProcessLauncher processes;
    win32::Win32Network net;
    win32::Win32DllLoader dlls;
    win32::Win32Wfp wfp;
    Platform p{env, tools, clock, processes, net, dlls, wfp, win32::embedded_wintun_image(), std::cout, std::cerr};
    if (args.size() < 2) return 2;
    if (auto made = create_directories(runtime_directory(env)); !made) return report(made);
    const std::string& request_path = args[0] == "launch" && args.size() == 3 ? args[2] : args[1];
    auto request = read_product_tunnel_request(request_path);
    if (!request) return report(request.failure());
    if (args[0] == "launch" && args.size() == 3) return report(launch_backend(p, args[1], *request));
    if (args[0] == "xray" && args.size() == 3) return report(start_xray(p, *request, args[2]));
    if (args[0] == "start-backend") return report(start_backend(p, *request));
    return 2;
}
