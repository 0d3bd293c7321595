#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

// Remembers the request of the last successful connect for the resume at service start and the
// tunnel watch's reconnects: its path, and a private copy of the bytes the connect read. The
// runtime directory is not created here: the connect that succeeded made it.
Status persist_reconnect_request(Platform& platform, const std::string& request_path, std::string_view bytes);

// The saved request's path and bytes; absent when no path is saved (nothing to resume). A copy
// that is missing or unreadable is the failure.
std::optional<Result<std::pair<std::string, std::string>>> saved_reconnect_request(Platform& platform);

}  // namespace vorn
