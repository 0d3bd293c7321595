// Winsock for the redirect proxy, and the WFP redirect context of a redirected connection.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/win32/handle.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

namespace {

// Not in mingw's headers.
constexpr DWORD kSioQueryWfpConnectionRedirectContext = 0x980000DD;
constexpr DWORD kContextLimit = 4096;

SOCKET sock(SocketHandle s) { return static_cast<SOCKET>(s); }

// Non-blocking, and no Nagle delay: interactive traffic must not wait for the next full segment.
// Buffer sizes stay with the system, whose autotuning grows them past what a fixed size asks for.
bool tune(SOCKET s) {
    u_long nonblocking = 1;
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return ioctlsocket(s, FIONBIO, &nonblocking) == 0;
}

// WSAPoll over the sockets one I/O thread serves, with a loopback UDP socket sent to itself to
// be woken from other threads. (Before Windows 10 2004, WSAPoll did not report a failed
// connect; the relay's bound on reaching the engine covers that.)
class WsaPoller final : public SocketPoller {
public:
    explicit WsaPoller(SOCKET wake) : wake_(wake) {
        fds_.push_back({wake, POLLRDNORM, 0});
        tokens_.push_back(0);
    }
    WsaPoller(const WsaPoller&) = delete;
    WsaPoller& operator=(const WsaPoller&) = delete;
    ~WsaPoller() override { closesocket(wake_); }

    bool add(SocketHandle socket, uint64_t token, unsigned interest) override {
        if (where_.count(sock(socket)) != 0) return false;
        where_[sock(socket)] = fds_.size();
        fds_.push_back({sock(socket), events_of(interest), 0});
        tokens_.push_back(token);
        return true;
    }
    bool modify(SocketHandle socket, uint64_t token, unsigned interest) override {
        auto found = where_.find(sock(socket));
        if (found == where_.end()) return false;
        fds_[found->second].events = events_of(interest);
        tokens_[found->second] = token;
        return true;
    }
    void remove(SocketHandle socket) override {
        auto found = where_.find(sock(socket));
        if (found == where_.end()) return;
        size_t i = found->second;
        where_.erase(found);
        if (i + 1 != fds_.size()) {
            fds_[i] = fds_.back();
            tokens_[i] = tokens_.back();
            where_[fds_[i].fd] = i;
        }
        fds_.pop_back();
        tokens_.pop_back();
    }

    bool wait(uint32_t timeout_ms, std::vector<Event>& events) override {
        events.clear();
        for (WSAPOLLFD& p : fds_) p.revents = 0;
        int n = WSAPoll(fds_.data(), static_cast<ULONG>(fds_.size()), static_cast<INT>(timeout_ms));
        if (n == SOCKET_ERROR) return WSAGetLastError() == WSAEINTR;
        if (fds_[0].revents != 0) {
            char drain[64];
            while (recv(wake_, drain, sizeof drain, 0) > 0) {
            }
            woken_.store(false, std::memory_order_release);
        }
        for (size_t i = 1; i < fds_.size(); ++i) {
            SHORT r = fds_[i].revents;
            if (r == 0) continue;
            bool trouble = (r & (POLLERR | POLLHUP | POLLNVAL)) != 0;
            events.push_back(
                {tokens_[i], (r & POLLRDNORM) != 0 || trouble, (r & POLLWRNORM) != 0 || trouble});
        }
        return true;
    }

    void wake() override {
        if (woken_.exchange(true, std::memory_order_acq_rel)) return;
        char one = 1;
        ::send(wake_, &one, 1, 0);
    }

    uint64_t now_ms() override { return GetTickCount64(); }

private:
    static SHORT events_of(unsigned interest) {
        return static_cast<SHORT>(((interest & kWantRead) ? POLLRDNORM : 0) |
                                  ((interest & kWantWrite) ? POLLWRNORM : 0));
    }

    SOCKET wake_;
    std::vector<WSAPOLLFD> fds_;
    std::vector<uint64_t> tokens_;
    std::unordered_map<SOCKET, size_t> where_;
    std::atomic<bool> woken_{false};
};

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

Result<SocketHandle, AcceptFailure> WinsockSockets::accept(SocketHandle listener) {
    SOCKET s = ::accept(sock(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK || error == WSAECONNRESET || error == WSAEINTR) {
            return AcceptFailure{{}, AcceptStatus::none_pending};
        }
        bool resources = error == WSAEMFILE || error == WSAENOBUFS;
        return AcceptFailure{fail(windows_error_text(static_cast<DWORD>(error))),
                             resources ? AcceptStatus::out_of_resources : AcceptStatus::failed};
    }
    tune(s);
    return static_cast<SocketHandle>(s);
}

Result<SocketHandle> WinsockSockets::start_connect(const Endpoint& to) {
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
    if (!tune(s) || (::connect(s, reinterpret_cast<sockaddr*>(&storage), length) != 0 &&
                     WSAGetLastError() != WSAEWOULDBLOCK)) {
        std::string text = windows_error_text(WSAGetLastError());
        closesocket(s);
        return fail(text);
    }
    return static_cast<SocketHandle>(s);
}

Status WinsockSockets::connection_result(SocketHandle socket) {
    int error = 0;
    int size = sizeof error;
    if (getsockopt(sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) !=
        0) {
        return fail(windows_error_text(WSAGetLastError()));
    }
    if (error != 0) return fail(windows_error_text(static_cast<DWORD>(error)));
    return {};
}

long WinsockSockets::receive(SocketHandle socket, char* buffer, size_t size) {
    for (;;) {
        int n = recv(sock(socket), buffer, static_cast<int>(size), 0);
        if (n >= 0) return n;
        int error = WSAGetLastError();
        if (error == WSAESHUTDOWN) return 0;  // the connection's receiving half was shut down
        if (error == WSAEWOULDBLOCK) return kWouldBlock;
        if (error != WSAEINTR) return kSocketError;
    }
}

long WinsockSockets::send(SocketHandle socket, const char* data, size_t size) {
    for (;;) {
        int n = ::send(sock(socket), data, static_cast<int>(size), 0);
        if (n != SOCKET_ERROR) return n;
        int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) return kWouldBlock;
        if (error != WSAEINTR) return kSocketError;
    }
}

void WinsockSockets::shutdown_send(SocketHandle socket) { shutdown(sock(socket), SD_SEND); }
void WinsockSockets::close(SocketHandle socket) { closesocket(sock(socket)); }

Result<std::unique_ptr<SocketPoller>> WinsockSockets::make_poller() {
    SOCKET wake = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (wake == INVALID_SOCKET) return fail(windows_error_text(WSAGetLastError()));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long nonblocking = 1;
    if (bind(wake, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(wake, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(wake, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ioctlsocket(wake, FIONBIO, &nonblocking) != 0) {
        std::string text = windows_error_text(WSAGetLastError());
        closesocket(wake);
        return fail(text);
    }
    return std::unique_ptr<SocketPoller>(std::make_unique<WsaPoller>(wake));
}

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
