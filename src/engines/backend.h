#pragma once
// Hysteria2 and TUIC: the backend engines that carry a connection beside Xray and offer a
// local SOCKS5 port.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/result.h"
#include "engines/engine.h"
#include "platform/platform.h"
#include "tunnel_core/request.h"

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
// "xray". A backend it starts is registered in `undo`.
Status start_backend(Platform& platform, const ProductTunnelRequest& request, UndoLog& undo);

// An engine that offers a local SOCKS5 port: writes its configuration, starts it with `args`
// (built from the configuration file's full path) and its logs, writes its pid file and waits
// for `socks_port`. Every message is worded with `label`. The engine's ports (`socks_port` and
// `other_ports`) must be free before it starts and `socks_port` its own once open; otherwise
// the engines are stopped. The engine, once started, is registered in `undo`.
Status start_socks_engine(Platform& platform, UndoLog& undo, const EngineSpec& engine, std::string_view label,
                          const nlohmann::json& config,
                          const std::function<std::vector<std::string>(const std::string&)>& args,
                          uint16_t socks_port, const std::vector<uint16_t>& other_ports = {});

}  // namespace vorn
