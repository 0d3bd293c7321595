#pragma once

#include <cstdint>
#include <string>

namespace vorn {

class Network {
public:
    virtual ~Network() = default;
    // Opens a TCP connection to host:port (numeric IPv4) and closes it at once; true when the
    // connection was accepted.
    virtual bool tcp_connect(const std::string& host, uint16_t port) = 0;
};

}  // namespace vorn
