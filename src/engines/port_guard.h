#pragma once
// The engines' fixed loopback ports are trusted only when the engine itself holds them: free
// before it starts, and owned by its process once it listens.

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

// Each port must have no listener; `start_prefix` is the engine's "could not start ..." text.
Status check_ports_free(Platform& platform, const std::vector<uint16_t>& ports, std::string_view start_prefix);
// Every listener on `port` must be the engine's own process. A listener whose owner the system
// does not report is not refused (Wine reports none).
Status check_port_owner(Platform& platform, uint16_t port, uint32_t engine_pid, std::string_view label);

}  // namespace vorn
