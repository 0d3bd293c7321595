#include "platform/posix/posix_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/netfilter_ipv4.h>
#include <linux/netfilter_ipv6/ip6_tables.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace vorn::posix {

namespace {

int fd(SocketHandle s) { return static_cast<int>(s); }

std::string errno_text() { return std::strerror(errno); }

// No Nagle delay: interactive traffic must not wait for the next full segment. Buffer sizes stay
// with the kernel, whose autotuning grows them past what a fixed size could ask for.
void tune(int socket) {
    int one = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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

Result<SocketHandle, AcceptFailure> PosixSockets::accept(SocketHandle listener) {
    int s = ::accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (s >= 0) {
        tune(s);
        return SocketHandle{s};
    }
    int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED) {
        return AcceptFailure{{}, AcceptStatus::none_pending};
    }
    bool resources = error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
    return AcceptFailure{fail(std::strerror(error)), resources ? AcceptStatus::out_of_resources : AcceptStatus::failed};
}

Result<SocketHandle> PosixSockets::start_connect(const Endpoint& to) {
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
    tune(s);
    if (::connect(s, reinterpret_cast<sockaddr*>(&storage), length) != 0 && errno != EINPROGRESS) {
        std::string text = errno_text();
        ::close(s);
        return fail(text);
    }
    return static_cast<SocketHandle>(s);
}

Status PosixSockets::connection_result(SocketHandle socket) {
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd(socket), SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return fail(errno_text());
    if (error != 0) return fail(std::strerror(error));
    return {};
}

long PosixSockets::receive(SocketHandle socket, char* buffer, size_t size) {
    for (;;) {
        ssize_t n = ::recv(fd(socket), buffer, size, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
        if (errno != EINTR) return kSocketError;
    }
}

long PosixSockets::send(SocketHandle socket, const char* data, size_t size) {
    for (;;) {
        ssize_t n = ::send(fd(socket), data, size, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
        if (errno != EINTR) return kSocketError;
    }
}

void PosixSockets::shutdown_send(SocketHandle socket) { ::shutdown(fd(socket), SHUT_WR); }
void PosixSockets::close(SocketHandle socket) { ::close(fd(socket)); }

namespace {

// epoll, with an eventfd to be woken from other threads.
class EpollPoller final : public SocketPoller {
public:
    EpollPoller(int epoll, int wake) : epoll_(epoll), wake_(wake) {}
    EpollPoller(const EpollPoller&) = delete;
    EpollPoller& operator=(const EpollPoller&) = delete;
    ~EpollPoller() override {
        ::close(wake_);
        ::close(epoll_);
    }

    bool add(SocketHandle socket, uint64_t token, unsigned interest) override {
        return control(EPOLL_CTL_ADD, socket, token, interest);
    }
    bool modify(SocketHandle socket, uint64_t token, unsigned interest) override {
        return control(EPOLL_CTL_MOD, socket, token, interest);
    }
    void remove(SocketHandle socket) override {
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd(socket), nullptr);
    }

    bool wait(uint32_t timeout_ms, std::vector<Event>& events) override {
        epoll_event ready[256];
        int n = ::epoll_wait(epoll_, ready, 256, static_cast<int>(timeout_ms));
        events.clear();
        if (n < 0) return errno == EINTR;
        for (int i = 0; i < n; ++i) {
            if (ready[i].data.u64 == kWakeToken) {
                uint64_t count;
                [[maybe_unused]] ssize_t r = ::read(wake_, &count, sizeof count);
                woken_.store(false, std::memory_order_release);
                continue;
            }
            uint32_t e = ready[i].events;
            bool trouble = (e & (EPOLLERR | EPOLLHUP)) != 0;
            events.push_back({ready[i].data.u64, (e & (EPOLLIN | EPOLLRDHUP)) != 0 || trouble,
                              (e & EPOLLOUT) != 0 || trouble});
        }
        return true;
    }

    void wake() override {
        if (woken_.exchange(true, std::memory_order_acq_rel)) return;
        uint64_t one = 1;
        [[maybe_unused]] ssize_t r = ::write(wake_, &one, sizeof one);
    }

    uint64_t now_ms() override {
        timespec t{};
        ::clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
    }

private:
    static constexpr uint64_t kWakeToken = ~uint64_t{0};

    bool control(int op, SocketHandle socket, uint64_t token, unsigned interest) {
        epoll_event e{};
        e.events =
            ((interest & kWantRead) ? EPOLLIN : 0u) | ((interest & kWantWrite) ? EPOLLOUT : 0u);
        e.data.u64 = token;
        return ::epoll_ctl(epoll_, op, fd(socket), &e) == 0;
    }

    int epoll_;
    int wake_;
    std::atomic<bool> woken_{false};
};

}  // namespace

Result<std::unique_ptr<SocketPoller>> PosixSockets::make_poller() {
    int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) return fail(errno_text());
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = ~uint64_t{0};
    if (wake < 0 || ::epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &e) != 0) {
        std::string text = errno_text();
        if (wake >= 0) ::close(wake);
        ::close(epoll);
        return fail(text);
    }
    return std::unique_ptr<SocketPoller>(std::make_unique<EpollPoller>(epoll, wake));
}

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
