#pragma once
// The listeners a stand-in engine opens on loopback: SOCKS5 (no authentication, CONNECT) and
// an HTTP proxy that answers CONNECT. A destination on loopback is dialled for real; any other
// destination is the simulated far side of the tunnel: it accepts and swallows what it is sent,
// and no packet leaves the machine. With an upstream SOCKS5 port set (Xray in front of
// Hysteria2 or TUIC), every destination is asked of that port instead.

#include <winsock2.h>

#include <cstdint>
#include <string>

namespace winsim {

struct ProxyOptions {
    uint16_t upstream_socks_port = 0;  // 0: none
};

bool winsock_start();
// "host:port" or host and port separately; false with an error text when it cannot listen.
bool open_listener(const std::string& host, uint16_t port, SOCKET& listener, std::string& error);
// Serves the listener on a thread of its own until the process ends.
void serve_socks5(SOCKET listener, ProxyOptions options);
void serve_http_connect(SOCKET listener, ProxyOptions options);

}  // namespace winsim
