#pragma once
// TCP sockets for the transparent redirect proxy, and the query for a redirected connection's
// original destination.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/result.h"

namespace vorn {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

struct Endpoint {
    bool ipv6 = false;
    std::array<uint8_t, 16> address{};  // IPv4 in the first 4 bytes, network order
    uint16_t port = 0;                  // host order
};

class SocketApi {
public:
    virtual ~SocketApi() = default;
    // A listening socket on 127.0.0.1 with a system-assigned port (backlog 128); `port` is set.
    virtual Result<SocketHandle> listen_loopback(uint16_t& port) = 0;
    // Waits up to `timeout_ms` for a connection; kNoSocket when none came. Accepted sockets are
    // in blocking mode. `failed` is set when the listener itself failed.
    virtual SocketHandle accept(SocketHandle listener, uint32_t timeout_ms, bool& failed) = 0;
    virtual Result<SocketHandle> connect(const Endpoint& to, uint32_t timeout_ms) = 0;
    // Bounds every later blocking receive and send on the socket (0: no bound).
    virtual void set_io_timeout(SocketHandle socket, uint32_t timeout_ms) = 0;
    // Bytes received; 0 at end of stream; negative on error. Interrupted calls are retried.
    virtual long receive(SocketHandle socket, char* buffer, size_t size) = 0;
    // Sends everything, retrying partial sends; false on error.
    virtual bool send_all(SocketHandle socket, const char* data, size_t size) = 0;
    virtual void shutdown_send(SocketHandle socket) = 0;
    // Ends both directions at once: a blocked receive on it returns.
    virtual void shutdown_both(SocketHandle socket) = 0;
    virtual void close(SocketHandle socket) = 0;
    virtual std::string last_error_text() = 0;
};

class RedirectContext {
public:
    virtual ~RedirectContext() = default;
    // The original destination of a redirected connection as a Windows socket address (family
    // 2 or 23, port in network order, the address), at most 4096 bytes; a failure when the
    // system has none.
    virtual Result<std::string> query(SocketHandle accepted) = 0;
};

}  // namespace vorn
