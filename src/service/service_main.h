#pragma once
// The Windows service: resume the last tunnel, serve the pipe until told to stop, stop the
// engines.

#include <atomic>
#include <cstdint>

#include "common/result.h"
#include "platform/platform.h"
#include "platform/service_names.h"
#include "tunnel_core/status.h"

#include <string_view>

namespace vorn {

inline constexpr std::string_view kServiceName = VORN_SERVICE_NAME;
inline constexpr uint32_t kServiceControlStop = 1;
inline constexpr uint32_t kServiceControlShutdown = 5;

// State shared by the service thread and the control handler (on the dispatcher's thread).
struct ServiceRuntime {
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> registered{false};
};

void service_control_handler(Platform& platform, ServiceRuntime& runtime, uint32_t control);
// Connects with the request named by the saved path, read as a local file of the service's own,
// and records the outcome. Absent when there is no saved path or its request file is gone.
std::optional<TunnelStatus> reconnect_saved_request(Platform& platform);
// Reconnects when the last recorded status is "connected"; the outcome, if it tried.
std::optional<TunnelStatus> resume_after_service_start(Platform& platform);
void service_main(Platform& platform, ServiceRuntime& runtime);
// The dispatcher entry of `run-service`: returns once the service stopped.
Status run_service(Platform& platform);

}  // namespace vorn
