// Winsock for the redirect proxy, and the WFP redirect context of a redirected connection.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/win32/handle.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

namespace {

// Not in mingw's headers.
constexpr DWORD kSioQueryWfpConnectionRedirectContext = 0x980000DD;
constexpr DWORD kContextLimit = 4096;

SOCKET sock(SocketHandle s) { return static_cast<SOCKET>(s); }

bool wait_for(SOCKET s, bool write, uint32_t timeout_ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval limit{static_cast<long>(timeout_ms / 1000), static_cast<long>((timeout_ms % 1000) * 1000)};
    return select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &limit) > 0;
}

}  // namespace

Result<SocketHandle> WinsockSockets::listen_loopback(uint16_t& port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return fail(windows_error_text(WSAGetLastError()));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 128) != 0) {
        std::string text = "could not bind split redirect listener: " + windows_error_text(WSAGetLastError());
        closesocket(s);
        return fail(text);
    }
    int length = sizeof address;
    u_long nonblocking = 1;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
        std::string text = windows_error_text(WSAGetLastError());
        closesocket(s);
        return fail(text);
    }
    port = ntohs(address.sin_port);
    return static_cast<SocketHandle>(s);
}

SocketHandle WinsockSockets::accept(SocketHandle listener, uint32_t timeout_ms, bool& failed) {
    failed = false;
    if (!wait_for(sock(listener), false, timeout_ms)) return kNoSocket;
    SOCKET s = ::accept(sock(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        int error = WSAGetLastError();
        failed = error != WSAEWOULDBLOCK && error != WSAECONNRESET && error != WSAEMFILE && error != WSAENOBUFS;
        return kNoSocket;
    }
    // Windows passes the listener's non-blocking mode on; the copy loops need blocking sockets.
    u_long blocking = 0;
    ioctlsocket(s, FIONBIO, &blocking);
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<SocketHandle>(s);
}

Result<SocketHandle> WinsockSockets::connect(const Endpoint& to, uint32_t timeout_ms) {
    sockaddr_storage storage{};
    int length;
    if (to.ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(to.port);
        std::memcpy(&a->sin6_addr, to.address.data(), 16);
        length = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(to.port);
        std::memcpy(&a->sin_addr, to.address.data(), 4);
        length = sizeof(sockaddr_in);
    }
    SOCKET s = socket(storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return fail(windows_error_text(WSAGetLastError()));
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    int r = ::connect(s, reinterpret_cast<sockaddr*>(&storage), length);
    if (r != 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        if (!wait_for(s, true, timeout_ms)) {
            closesocket(s);
            return fail(windows_error_text(WSAETIMEDOUT));
        }
        int error = 0;
        int size = sizeof error;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
        if (error != 0) {
            closesocket(s);
            return fail(windows_error_text(static_cast<DWORD>(error)));
        }
        r = 0;
    }
    if (r != 0) {
        std::string text = windows_error_text(WSAGetLastError());
        closesocket(s);
        return fail(text);
    }
    u_long blocking = 0;
    ioctlsocket(s, FIONBIO, &blocking);
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<SocketHandle>(s);
}

void WinsockSockets::set_io_timeout(SocketHandle socket, uint32_t timeout_ms) {
    DWORD limit = timeout_ms;
    setsockopt(sock(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    setsockopt(sock(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
}

long WinsockSockets::receive(SocketHandle socket, char* buffer, size_t size) {
    for (;;) {
        int n = recv(sock(socket), buffer, static_cast<int>(size), 0);
        if (n >= 0) return n;
        int error = WSAGetLastError();
        if (error == WSAESHUTDOWN) return 0;  // the connection's receiving half was shut down
        if (error != WSAEINTR) return -1;
    }
}

bool WinsockSockets::send_all(SocketHandle socket, const char* data, size_t size) {
    while (size > 0) {
        int n = send(sock(socket), data, static_cast<int>(size), 0);
        if (n == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void WinsockSockets::shutdown_send(SocketHandle socket) { shutdown(sock(socket), SD_SEND); }
void WinsockSockets::shutdown_both(SocketHandle socket) { shutdown(sock(socket), SD_BOTH); }
void WinsockSockets::close(SocketHandle socket) { closesocket(sock(socket)); }
std::string WinsockSockets::last_error_text() { return windows_error_text(WSAGetLastError()); }

Result<std::string> WfpRedirectContext::query(SocketHandle accepted) {
    std::string context(kContextLimit, '\0');
    DWORD returned = 0;
    if (WSAIoctl(sock(accepted), kSioQueryWfpConnectionRedirectContext, nullptr, 0, context.data(), kContextLimit,
                 &returned, nullptr, nullptr) != 0 ||
        returned > kContextLimit) {
        return fail("could not query WFP redirect metadata from accepted socket");
    }
    context.resize(returned);
    return context;
}

}  // namespace vorn::win32
