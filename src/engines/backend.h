#pragma once
// Hysteria2 and TUIC: the backend engines that carry a connection beside Xray and offer a
// local SOCKS5 port.

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

#include "common/result.h"
#include "engines/engine.h"
#include "platform/platform.h"
#include "tunnel/request.h"

namespace vorn {

enum class Backend { None, Hysteria2, Tuic };

struct BackendInfo {
    const EngineSpec* engine;
    uint16_t socks_port;
};

// None for "xray"; a failure for anything but xray, hysteria2 and tuic.
Result<Backend> select_backend(const ProductTunnelRequest& request);
BackendInfo backend_info(Backend backend);

nlohmann::json build_hysteria_config(const ProductTunnelRequest& request);
nlohmann::json build_tuic_config(const ProductTunnelRequest& request);

// Writes the backend's configuration, starts it and waits for its SOCKS port; nothing for
// "xray".
Status start_backend(Platform& platform, const ProductTunnelRequest& request);

}  // namespace vorn
