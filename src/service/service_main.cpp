#include "service/service_main.h"

#include "common/files.h"
#include "common/text.h"
#include "engines/engine_stop.h"
#include "service/connect_record.h"
#include "service/ipc.h"
#include "service/reconnect.h"
#include "service/service_folder.h"
#include "service/tunnel_watch.h"
#include "split_tunnel/firewall.h"
#include "tunnel/disconnect.h"
#include "tunnel_core/runtime_files.h"
#include "tunnel_core/status.h"

namespace vorn {

void service_control_handler(Platform& platform, ServiceRuntime& runtime, uint32_t control) {
    if (control != kServiceControlStop && control != kServiceControlShutdown) return;
    runtime.stop_requested = true;
    if (runtime.registered) platform.service.report_status(ServiceState::StopPending);
}

std::optional<TunnelStatus> reconnect_saved_request(Platform& platform) {
    // Never the user's file itself: whatever it leads to now, the copy is what was connected.
    auto saved = saved_reconnect_request(platform);
    if (!saved) return std::nullopt;
    if (!*saved) {
        TunnelStatus failed = make_status(TunnelState::Error, "could not read product tunnel request: " + saved->error());
        (void)write_status(platform, failed);
        return failed;
    }
    const std::string bytes = std::move((*saved)->second);
    auto outcome = connect_and_record(platform, (*saved)->first, [&bytes](const std::string&) { return Result<std::string>(bytes); },
                                      kResumeConnect);
    return outcome ? *outcome : failed_status(outcome.failure());
}

std::optional<TunnelStatus> resume_after_service_start(Platform& platform) {
    std::optional<TunnelStatus> last = read_status(platform);
    if (!last || last->status != TunnelState::Connected) return std::nullopt;
    std::optional<TunnelStatus> resumed = reconnect_saved_request(platform);
    // The stop left the full tunnel's firewall up; a resume that fails leaves it blocking.
    if (resumed && resumed->status == TunnelState::Error && full_tunnel_firewall_present(platform)) {
        resumed = failed_status(traffic_blocked(resumed->message.value_or("")));
        (void)write_status(platform, *resumed);
    }
    return resumed;
}

void service_main(Platform& platform, ServiceRuntime& runtime) {
    runtime.stop_requested = false;
    bool registered = false;
    (void)survives_out_of_memory([&] {
        auto handler = [&platform, &runtime](uint32_t control) { service_control_handler(platform, runtime, control); };
        registered = platform.service.register_control_handler(std::string(kServiceName), handler);
    });
    if (!registered) return;
    runtime.registered = true;
    if (auto folders = check_service_folders(platform); !folders) {
        (void)write_status(platform, failed_status(folders.failure()));
        platform.service.report_status(ServiceState::Stopped);
        return;
    }
    // The pipe's name is taken before anything is reported: whoever created it first would be
    // handed the desktop application's requests. A failure is retried (and a name held by another
    // process recorded) after the resume, which reads the status recorded before it.
    std::unique_ptr<PipeInstance> pipe = try_create_pipe(platform);
    platform.service.report_status(ServiceState::StartPending);
    platform.service.report_status(ServiceState::Running);
    TunnelWatch watch(platform);
    bool resumed_whole = survives_out_of_memory([&] {
        if (auto resumed = resume_after_service_start(platform); resumed && resumed->status == TunnelState::Connected) {
            watch.tunnel_connected();
        }
    });
    if (!resumed_whole) {
        (void)survives_out_of_memory([&] {
            (void)write_status(platform,
                               make_status(TunnelState::Error, "could not resume the product tunnel: out of memory"));
        });
    }
    run_pipe_loop(platform, runtime.stop_requested, &watch, std::move(pipe));
    platform.service.report_status(ServiceState::StopPending);
    (void)survives_out_of_memory([&] { (void)stop_engines(platform); });
    platform.service.report_status(ServiceState::Stopped);
}

Status run_service(Platform& platform) {
    ServiceRuntime runtime;
    return platform.service.run_dispatcher(std::string(kServiceName), [&platform, &runtime] { service_main(platform, runtime); });
}

}  // namespace vorn
