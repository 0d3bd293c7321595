#pragma once
// The transparent TCP redirect proxy: a loopback listener that receives connections the
// redirect driver bent to it, learns where each was headed, and relays it through the engine's
// local SOCKS5 port.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/sockets.h"

namespace vorn {

// The destination in a redirect context (Windows socket address layout).
Result<Endpoint> decode_redirect_context(std::string_view context);
// The SOCKS5 CONNECT request for a destination: 10 bytes for IPv4, 22 for IPv6.
std::string socks5_connect_request(const Endpoint& destination);

struct RelayState;

class SplitRuntime {
public:
    SplitRuntime(std::shared_ptr<RelayState> state, uint16_t port);
    SplitRuntime(const SplitRuntime&) = delete;
    SplitRuntime& operator=(const SplitRuntime&) = delete;
    ~SplitRuntime();
    uint16_t port() const { return port_; }
    // Connections being set up or relayed.
    size_t active_connections() const;
    // Fixed at start: one per two cores (at least one), whatever the number of connections.
    size_t io_threads() const;

private:
    friend void stop_redirect_listener(SplitRuntime& runtime);
    std::shared_ptr<RelayState> state_;
    uint16_t port_;
};

Result<std::unique_ptr<SplitRuntime>> start_redirect_listener(SocketApi& sockets, RedirectContext& context,
                                                              const Endpoint& upstream);
// Stops accepting, closes every connection being set up or relayed and returns within a bounded
// time.
void stop_redirect_listener(SplitRuntime& runtime);

}  // namespace vorn
