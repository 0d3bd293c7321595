#include "service/service_main.h"

#include "common/files.h"
#include "common/text.h"
#include "service/ipc.h"
#include "service/runtime_files.h"
#include "service/status.h"
#include "tunnel/connect.h"
#include "tunnel/disconnect.h"

namespace vorn {

void service_control_handler(Platform& platform, ServiceRuntime& runtime, uint32_t control) {
    if (control != kServiceControlStop && control != kServiceControlShutdown) return;
    runtime.stop_requested = true;
    if (runtime.registered) platform.service.report_status(ServiceState::StopPending);
}

void resume_after_service_start(Platform& platform) {
    auto saved = read_runtime_file(platform, kReconnectPathFileName);
    if (!saved || !*saved) return;
    std::string path(trim(decode_utf8_lossy(**saved)));
    if (!is_regular_file(path)) return;
    std::optional<TunnelStatus> last = read_status(platform);
    if (!last || last->status != TunnelState::Connected) return;
    auto connected = connect_product_tunnel(platform, path);
    (void)write_status(platform, connected ? *connected : make_status(TunnelState::Error, connected.error()));
}

void service_main(Platform& platform, ServiceRuntime& runtime) {
    runtime.stop_requested = false;
    bool registered = platform.service.register_control_handler(
        std::string(kServiceName), [&platform, &runtime](uint32_t control) { service_control_handler(platform, runtime, control); });
    if (!registered) return;
    runtime.registered = true;
    platform.service.report_status(ServiceState::StartPending);
    platform.service.report_status(ServiceState::Running);
    resume_after_service_start(platform);
    run_pipe_loop(platform, runtime.stop_requested);
    platform.service.report_status(ServiceState::StopPending);
    (void)stop_engines(platform);
    platform.service.report_status(ServiceState::Stopped);
}

Status run_service(Platform& platform) {
    ServiceRuntime runtime;
    return platform.service.run_dispatcher(std::string(kServiceName), [&platform, &runtime] { service_main(platform, runtime); });
}

}  // namespace vorn
