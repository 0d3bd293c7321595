#pragma once

#include <string>

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

// Remembers the request path of the last successful connect, for the resume at service start.
// The runtime directory is not created here: the connect that succeeded made it.
Status persist_reconnect_request_path(Platform& platform, const std::string& request_path);

}  // namespace vorn
