#pragma once
// Bounded waits after an engine start: each polls the child and reports an engine that died
// with its exit status and the tail of its logs.

#include <cstdint>
#include <string_view>

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

Status watch_xray_startup(Platform& platform, ChildProcess& xray);
Status wait_for_xray_adapter(Platform& platform, ChildProcess& xray);
Status wait_for_socks_port(Platform& platform, uint16_t port, ChildProcess& child,
                           std::string_view stdout_log, std::string_view stderr_log,
                           std::string_view label);

}  // namespace vorn
