#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

Win32Network::Win32Network() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

Win32Network::~Win32Network() {
    if (started_) WSACleanup();
}

bool Win32Network::tcp_connect(const std::string& host, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return false;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    closesocket(s);
    return ok;
}

std::optional<std::string> Win32Network::resolve_ipv4(const std::string& host) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* answer = nullptr;
    if (getaddrinfo(host.c_str(), "0", &hints, &answer) != 0) return std::nullopt;
    std::optional<std::string> first;
    for (addrinfo* a = answer; a != nullptr && !first; a = a->ai_next) {
        if (a->ai_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, text, sizeof text);
        first = text;
    }
    freeaddrinfo(answer);
    return first;
}

}  // namespace vorn::win32
