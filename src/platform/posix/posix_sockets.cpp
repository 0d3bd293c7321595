#include "platform/posix/posix_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/netfilter_ipv4.h>
#include <linux/netfilter_ipv6/ip6_tables.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorn::posix {

namespace {

int fd(SocketHandle s) { return static_cast<int>(s); }

std::string errno_text() { return std::strerror(errno); }

bool wait_for(int socket, short events, uint32_t timeout_ms) {
    pollfd p{socket, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, static_cast<int>(timeout_ms));
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

}  // namespace

Result<SocketHandle> PosixSockets::listen_loopback(uint16_t& port) {
    int s = ::socket(any_address_ ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return fail(errno_text());
    sockaddr_storage address{};
    socklen_t address_size;
    if (any_address_) {
        int no = 0;
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_family = AF_INET6;
        address_size = sizeof(sockaddr_in6);
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address_size = sizeof(sockaddr_in);
    }
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), address_size) != 0 || ::listen(s, 128) != 0) {
        std::string text = "could not bind split redirect listener: " + errno_text();
        ::close(s);
        return fail(text);
    }
    socklen_t length = sizeof address;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK) != 0) {
        std::string text = errno_text();
        ::close(s);
        return fail(text);
    }
    // The port stands at the same place in both address families.
    port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return static_cast<SocketHandle>(s);
}

SocketHandle PosixSockets::accept(SocketHandle listener, uint32_t timeout_ms, bool& failed) {
    failed = false;
    if (!wait_for(fd(listener), POLLIN, timeout_ms)) return kNoSocket;
    // accept4 without SOCK_NONBLOCK: the accepted socket blocks, whatever the listener does.
    int s = ::accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (s >= 0) {
        int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return s;
    }
    failed = !(errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED ||
               errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM);
    return kNoSocket;
}

Result<SocketHandle> PosixSockets::connect(const Endpoint& to, uint32_t timeout_ms) {
    sockaddr_storage storage{};
    socklen_t length;
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
    int s = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) return fail(errno_text());
    int r = ::connect(s, reinterpret_cast<sockaddr*>(&storage), length);
    if (r != 0 && errno == EINPROGRESS) {
        if (!wait_for(s, POLLOUT, timeout_ms)) {
            ::close(s);
            return fail("connection timed out");
        }
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size);
        errno = error;
        r = error == 0 ? 0 : -1;
    }
    if (r != 0) {
        std::string text = errno_text();
        ::close(s);
        return fail(text);
    }
    ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) & ~O_NONBLOCK);
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return static_cast<SocketHandle>(s);
}

void PosixSockets::set_io_timeout(SocketHandle socket, uint32_t timeout_ms) {
    timeval limit{static_cast<time_t>(timeout_ms / 1000), static_cast<suseconds_t>((timeout_ms % 1000) * 1000)};
    ::setsockopt(fd(socket), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd(socket), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

long PosixSockets::receive(SocketHandle socket, char* buffer, size_t size) {
    for (;;) {
        ssize_t n = ::recv(fd(socket), buffer, size, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) return -1;
    }
}

bool PosixSockets::send_all(SocketHandle socket, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd(socket), data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void PosixSockets::shutdown_send(SocketHandle socket) { ::shutdown(fd(socket), SHUT_WR); }
void PosixSockets::shutdown_both(SocketHandle socket) { ::shutdown(fd(socket), SHUT_RDWR); }
void PosixSockets::close(SocketHandle socket) { ::close(fd(socket)); }
std::string PosixSockets::last_error_text() { return errno == 0 ? "end of stream" : errno_text(); }

Result<std::string> NetfilterRedirectContext::query(SocketHandle accepted) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd(accepted), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return fail("could not query WFP redirect metadata from accepted socket");
    }
    std::string context;
    auto* local6 = reinterpret_cast<sockaddr_in6*>(&local);
    bool mapped_ipv4 = local.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&local6->sin6_addr);
    if (local.ss_family == AF_INET6 && !mapped_ipv4) {
        sockaddr_in6 original{};
        socklen_t size = sizeof original;
        if (::getsockopt(fd(accepted), SOL_IPV6, IP6T_SO_ORIGINAL_DST, &original, &size) != 0) {
            return fail("could not query WFP redirect metadata from accepted socket");
        }
        context.assign(28, '\0');
        context[0] = 23;
        std::memcpy(&context[2], &original.sin6_port, 2);
        std::memcpy(&context[8], &original.sin6_addr, 16);
    } else {
        sockaddr_in original{};
        socklen_t size = sizeof original;
        if (::getsockopt(fd(accepted), SOL_IP, SO_ORIGINAL_DST, &original, &size) != 0) {
            return fail("could not query WFP redirect metadata from accepted socket");
        }
        context.assign(16, '\0');
        context[0] = 2;
        std::memcpy(&context[2], &original.sin_port, 2);
        std::memcpy(&context[4], &original.sin_addr, 4);
    }
    return context;
}

}  // namespace vorn::posix
