#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"

namespace vorn {

class Network {
public:
    virtual ~Network() = default;
    // Opens a TCP connection to host:port (numeric IPv4) and closes it at once; true when the
    // connection was accepted.
    virtual bool tcp_connect(const std::string& host, uint16_t port) = 0;
    // The system resolver's first IPv4 answer for the host, in dotted-decimal form.
    virtual std::optional<std::string> resolve_ipv4(const std::string& host) = 0;
    // The process ids owning the TCP listeners on `port`, IPv4 and IPv6, bound to a loopback or
    // to the any address (a dual-stack [::] listener takes connections to 127.0.0.1); 0 where
    // the system does not say.
    virtual Result<std::vector<uint32_t>> tcp_listener_pids(uint16_t port) = 0;
    // Whether the machine's routes or its interfaces' gateways may have changed since the last
    // call (true on the first). Starts no process: a look at change notifications only.
    virtual bool routes_may_have_changed() = 0;
};

}  // namespace vorn
