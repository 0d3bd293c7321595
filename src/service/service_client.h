#pragma once
// The command line's side of the service's pipe: one request handed to the running service,
// its status record back.

#include <nlohmann/json.hpp>

#include "common/result.h"
#include "platform/platform.h"
#include "tunnel_core/status.h"

namespace vorn {

// Why a request could not be handed to the service.
struct HandOffFailure : Failure {
    bool service_stopped = false;  // the service is not running (or cannot be asked whether it is)
};

// The service's answer to one request sent over its pipe, or why it could not be had. Waits up to
// a minute for the pipe while the service serves another client or resumes.
Result<TunnelStatus, HandOffFailure> ask_service(Platform& platform, const nlohmann::json& message);

}  // namespace vorn
