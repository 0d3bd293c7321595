#pragma once
// The split tunnel: an engine with a local SOCKS5 port, the transparent redirect proxy in
// front of it, and the redirect driver's policy naming the applications to bend to the proxy.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "common/undo.h"
#include "platform/platform.h"
#include "tunnel_core/request.h"

namespace vorn {

inline constexpr std::string_view kProcessQueryScript =
    "Get-CimInstance Win32_Process | Select-Object ProcessId,ExecutablePath | ConvertTo-Json -Compress";

// The ids of listed processes whose executable is one of `applications` (ASCII case ignored).
std::vector<uint32_t> match_root_processes(std::string_view process_listing, const std::vector<std::string>& applications);
std::vector<uint32_t> find_tracked_root_processes(ToolRunner& tools, const std::vector<std::string>& applications);

// Starts the split tunnel; the success message, or the failure. What a later failure must
// undo (the engine, the redirect proxy, the driver's policy) is registered in `undo`.
Result<std::string> start_split_session(Platform& platform, const ProductTunnelRequest& request, UndoLog& undo);
// Clears the redirect driver's policy and stops the redirect proxy, if a split tunnel runs.
// Never fails.
void stop_split_session(Platform& platform);
// Whether this process holds a running split tunnel.
bool split_session_active();

}  // namespace vorn
