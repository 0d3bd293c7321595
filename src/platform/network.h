#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vorn {

class Network {
public:
    virtual ~Network() = default;
    // Opens a TCP connection to host:port (numeric IPv4) and closes it at once; true when the
    // connection was accepted.
    virtual bool tcp_connect(const std::string& host, uint16_t port) = 0;
    // The system resolver's first IPv4 answer for the host, in dotted-decimal form.
    virtual std::optional<std::string> resolve_ipv4(const std::string& host) = 0;
};

}  // namespace vorn
