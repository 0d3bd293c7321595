#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/posix/posix_sockets.h"
#include "split_tunnel/redirect_proxy.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;

std::string context_ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
    std::string ctx(16, '\0');
    ctx[0] = 2;
    ctx[2] = static_cast<char>(port >> 8);
    ctx[3] = static_cast<char>(port & 0xFF);
    ctx[4] = static_cast<char>(a), ctx[5] = static_cast<char>(b), ctx[6] = static_cast<char>(c), ctx[7] = static_cast<char>(d);
    return ctx;
}

TEST(RedirectContext, Decoding) {
    struct Case {
        std::string context;
        std::string error;
    };
    std::string v6(28, '\0');
    v6[0] = 23;
    v6[2] = 0x01;
    v6[3] = static_cast<char>(0xBB);
    v6[8] = 0x20, v6[9] = 0x01, v6[23] = 0x09;
    const Case cases[] = {
        {context_ipv4(10, 9, 9, 9, 8080), ""},
        {v6, ""},
        {std::string(7, '\0'), "redirect context is shorter than a SOCKADDR"},
        {v6.substr(0, 20), "IPv6 redirect context is truncated"},
        {std::string("\x05\x00\x00\x50\x01\x02\x03\x04", 8), "redirect context has unsupported address family 5"},
    };
    for (const Case& c : cases) {
        auto endpoint = decode_redirect_context(c.context);
        EXPECT_EQ(endpoint.ok() ? "" : endpoint.error(), c.error);
    }
    Endpoint four = *decode_redirect_context(context_ipv4(10, 9, 9, 9, 8080));
    EXPECT_EQ(socks5_connect_request(four), std::string("\x05\x01\x00\x01\x0a\x09\x09\x09\x1f\x90", 10));
    Endpoint six = *decode_redirect_context(v6);
    std::string request = socks5_connect_request(six);
    ASSERT_EQ(request.size(), 22u);
    EXPECT_EQ(request.substr(0, 6), std::string("\x05\x01\x00\x04\x20\x01", 6));
    EXPECT_EQ(request.substr(20), "\x01\xBB");
}

class ScriptedContext : public RedirectContext {
public:
    Result<std::string> query(SocketHandle) override { return context; }
    std::string context;
};

// A SOCKS5 upstream on loopback that follows a script: it records what it is sent, answers the
// method and the CONNECT as told, then echoes (or answers once the client finished sending).
class ScriptedUpstream {
public:
    std::string method_reply = std::string("\x05\x00", 2);
    std::string connect_reply = std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x00", 10);
    bool reply_after_end = false;  // send "done:" + what came, after the client's end of stream
    std::atomic<bool> stall_first{false};  // the first session reads the greeting and never answers

    ScriptedUpstream() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 16);
        socklen_t n = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedUpstream() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
        for (auto& session : sessions_) session.join();
    }
    Endpoint endpoint() const {
        Endpoint e;
        e.address = {127, 0, 0, 1};
        e.port = port_;
        return e;
    }
    std::string received_head() {
        std::lock_guard lock(mutex_);
        return head_;
    }
    int accepted() const { return accepted_; }

private:
    void serve() {
        for (;;) {
            int s = ::accept(listener_, nullptr, nullptr);
            if (s < 0) return;
            ++accepted_;
            // The stall goes to the first connection accepted, whichever greeting comes first.
            const bool stall = stall_first.exchange(false);
            sessions_.emplace_back([this, s, stall] { session(s, stall); });
        }
    }
    void session(int s, bool stall) {
        char buffer[4096];
        ssize_t n = ::recv(s, buffer, 3, MSG_WAITALL);
        if (stall) {
            while (::recv(s, buffer, sizeof buffer, 0) > 0) {
            }
            ::close(s);
            return;
        }
        record(buffer, n);
        ::send(s, method_reply.data(), method_reply.size(), MSG_NOSIGNAL);
        if (method_reply != std::string("\x05\x00", 2)) {
            ::close(s);
            return;
        }
        n = ::recv(s, buffer, 4, MSG_WAITALL);
        record(buffer, n);
        size_t rest = buffer[3] == 4 ? 18 : 6;
        n = ::recv(s, buffer, rest, MSG_WAITALL);
        record(buffer, n);
        ::send(s, connect_reply.data(), connect_reply.size(), MSG_NOSIGNAL);
        std::string all;
        while ((n = ::recv(s, buffer, sizeof buffer, 0)) > 0) {
            if (reply_after_end) {
                all.append(buffer, static_cast<size_t>(n));
            } else {
                ::send(s, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
            }
        }
        if (reply_after_end) {
            std::string reply = "done:" + all;
            ::send(s, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        ::close(s);
    }
    void record(const char* data, ssize_t n) {
        std::lock_guard lock(mutex_);
        if (n > 0) head_.append(data, static_cast<size_t>(n));
    }

    int listener_;
    uint16_t port_;
    std::thread thread_;
    std::vector<std::thread> sessions_;  // touched by the accepting thread only, joined at the end
    std::mutex mutex_;
    std::string head_;
    std::atomic<int> accepted_{0};
};

int connect_to(uint16_t port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    timeval limit{5, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return s;
}

// Sends, half-closes, and reads until the far end closes.
std::string exchange(int s, const std::string& payload, bool half_close = true) {
    ::send(s, payload.data(), payload.size(), MSG_NOSIGNAL);
    if (half_close) ::shutdown(s, SHUT_WR);
    std::string got;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(s, buffer, sizeof buffer, 0)) > 0) got.append(buffer, static_cast<size_t>(n));
    ::close(s);
    return got;
}

// The POSIX adapter with a clock the test moves on, so that the 5 s bound on the SOCKS exchange is
// seen without waiting for it.
class ShiftedClockSockets : public SocketApi {
public:
    std::atomic<uint64_t> shift_ms{0};

    class Poller : public SocketPoller {
    public:
        Poller(std::unique_ptr<SocketPoller> real, std::atomic<uint64_t>& shift)
            : real_(std::move(real)), shift_(shift) {}
        bool add(SocketHandle s, uint64_t t, unsigned i) override { return real_->add(s, t, i); }
        bool modify(SocketHandle s, uint64_t t, unsigned i) override {
            return real_->modify(s, t, i);
        }
        void remove(SocketHandle s) override { real_->remove(s); }
        // Short turns, so that a moved clock is noticed at once.
        bool wait(uint32_t ms, std::vector<Event>& e) override {
            return real_->wait(std::min(ms, 10u), e);
        }
        void wake() override { real_->wake(); }
        uint64_t now_ms() override { return real_->now_ms() + shift_.load(); }

    private:
        std::unique_ptr<SocketPoller> real_;
        std::atomic<uint64_t>& shift_;
    };

    Result<SocketHandle> listen_loopback(uint16_t& port) override {
        return real_.listen_loopback(port);
    }
    Result<SocketHandle, AcceptFailure> accept(SocketHandle l) override { return real_.accept(l); }
    Result<SocketHandle> start_connect(const Endpoint& to) override {
        return real_.start_connect(to);
    }
    Status connection_result(SocketHandle s) override { return real_.connection_result(s); }
    long receive(SocketHandle s, char* b, size_t n) override { return real_.receive(s, b, n); }
    long send(SocketHandle s, const char* d, size_t n) override { return real_.send(s, d, n); }
    void shutdown_send(SocketHandle s) override { real_.shutdown_send(s); }
    void close(SocketHandle s) override { real_.close(s); }
    Result<std::unique_ptr<SocketPoller>> make_poller() override {
        auto poller = real_.make_poller();
        if (!poller) return poller.failure();
        return std::unique_ptr<SocketPoller>(
            std::make_unique<Poller>(std::move(*poller), shift_ms));
    }

private:
    posix::PosixSockets real_;
};

int threads_of_this_process() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

struct Relay {
    ShiftedClockSockets sockets;
    ScriptedContext context;
    std::unique_ptr<SplitRuntime> runtime;

    Relay(const Endpoint& upstream, std::string ctx) {
        context.context = std::move(ctx);
        auto started = start_redirect_listener(sockets, context, upstream);
        EXPECT_TRUE(started.ok());
        runtime = std::move(*started);
    }
};

TEST(RedirectProxy, SocksExchangeByteForByteAndTheBoundAddressDiscard) {
    struct Case {
        const char* name;
        std::string connect_reply;
    };
    const Case cases[] = {
        {"IPv4 bound address", std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x04\x38", 10)},
        {"domain bound address of 9 bytes", std::string("\x05\x00\x00\x03\x09" "localhost\x04\x38", 16)},
        {"IPv6 bound address", std::string("\x05\x00\x00\x04", 4) + std::string(16, '\0') + "\x04\x38"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedUpstream upstream;
        upstream.connect_reply = c.connect_reply;
        Relay relay(upstream.endpoint(), context_ipv4(10, 9, 9, 9, 8080));
        // The bound address is discarded exactly: the first relayed byte is the echo's.
        EXPECT_EQ(exchange(connect_to(relay.runtime->port()), "ping"), "ping");
        EXPECT_EQ(upstream.received_head(), std::string("\x05\x01\x00\x05\x01\x00\x01\x0a\x09\x09\x09\x1f\x90", 13));
    }
}

TEST(RedirectProxy, RefusalsCloseTheApplicationsConnection) {
    struct Case {
        const char* name;
        std::string context;
        std::string method_reply;
        std::string connect_reply;
        int upstream_connections;
    };
    const Case cases[] = {
        {"no acceptable method", context_ipv4(10, 9, 9, 9, 80), std::string("\x05\xFF", 2), "", 1},
        {"CONNECT refused", context_ipv4(10, 9, 9, 9, 80), std::string("\x05\x00", 2),
         std::string("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10), 1},
        {"unsupported address type", context_ipv4(10, 9, 9, 9, 80), std::string("\x05\x00", 2),
         std::string("\x05\x00\x00\x07\x00\x00\x00\x00\x00\x00", 10), 1},
        {"truncated IPv6 context", std::string("\x17\x00\x01\xBB", 4) + std::string(16, '\0'), std::string("\x05\x00", 2),
         "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedUpstream upstream;
        upstream.method_reply = c.method_reply;
        if (!c.connect_reply.empty()) upstream.connect_reply = c.connect_reply;
        Relay relay(upstream.endpoint(), c.context);
        EXPECT_EQ(exchange(connect_to(relay.runtime->port()), "hello", false), "");
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(upstream.accepted(), c.upstream_connections);
    }
}

TEST(RedirectProxy, HalfCloseReachesTheFarEnd) {
    ScriptedUpstream upstream;
    upstream.reply_after_end = true;
    Relay relay(upstream.endpoint(), context_ipv4(10, 9, 9, 9, 80));
    EXPECT_EQ(exchange(connect_to(relay.runtime->port()), "request"), "done:request");
}

TEST(RedirectProxy, ConnectionsAreRelayedAtOnceAndStopClosesThem) {
    ScriptedUpstream upstream;
    Relay relay(upstream.endpoint(), context_ipv4(10, 9, 9, 9, 80));
    int held = connect_to(relay.runtime->port());
    ::send(held, "x", 1, 0);
    char c;
    ASSERT_EQ(::recv(held, &c, 1, 0), 1);  // relayed, and kept open
    // A second application is not held back by the first.
    EXPECT_EQ(exchange(connect_to(relay.runtime->port()), "second"), "second");
    for (int i = 0; i < 100 && relay.runtime->active_connections() != 1; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(relay.runtime->active_connections(), 1u);

    auto begin = std::chrono::steady_clock::now();
    stop_redirect_listener(*relay.runtime);
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(took, 500ms);
    EXPECT_EQ(::recv(held, &c, 1, 0), 0);  // closed by the stop
    ::close(held);
    EXPECT_EQ(connect_to(relay.runtime->port()), -1);
}

TEST(RedirectProxy, AStalledSocksExchangeHoldsBackNothingAndEndsAtItsBound) {
    ScriptedUpstream upstream;
    upstream.stall_first = true;
    Relay relay(upstream.endpoint(), context_ipv4(10, 9, 9, 9, 80));
    int stalled = connect_to(relay.runtime->port());
    for (int i = 0; i < 1000 && upstream.accepted() < 1; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(upstream.accepted(), 1);
    EXPECT_EQ(exchange(connect_to(relay.runtime->port()), "meanwhile"), "meanwhile");
    char c;
    timeval brief{0, 200000};
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVTIMEO, &brief, sizeof brief);
    EXPECT_EQ(::recv(stalled, &c, 1, 0), -1);  // still waiting for the engine, within the bound
    relay.sockets.shift_ms = 5000;
    timeval limit{2, 0};
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    EXPECT_EQ(::recv(stalled, &c, 1, 0), 0);  // closed at the bound
    ::close(stalled);
}

TEST(RedirectProxy, ThreadsDoNotGrowWithConnections) {
    ScriptedUpstream upstream;
    Relay relay(upstream.endpoint(), context_ipv4(10, 9, 9, 9, 80));
    int before = threads_of_this_process();
    std::vector<int> held;
    for (int i = 0; i < 50; ++i) {
        int s = connect_to(relay.runtime->port());
        char c;
        ASSERT_EQ(::send(s, "x", 1, 0), 1);
        ASSERT_EQ(::recv(s, &c, 1, 0), 1);
        held.push_back(s);
    }
    EXPECT_EQ(relay.runtime->active_connections(), 50u);
    // The scripted upstream spends a thread per session; the relay none.
    EXPECT_EQ(threads_of_this_process(), before + 50);
    EXPECT_GE(relay.runtime->io_threads(), 1u);
    EXPECT_LE(relay.runtime->io_threads(), std::max(1u, std::thread::hardware_concurrency()));
    for (int s : held) ::close(s);
}

TEST(RedirectProxy, LargePayloadsRoundTripIntact) {
    ScriptedUpstream upstream;
    Relay relay(upstream.endpoint(), context_ipv4(10, 9, 9, 9, 80));
    std::string payload(3 * 1024 * 1024 + 17, '\0');
    uint32_t x = 12345;
    for (char& ch : payload) {
        x = x * 1103515245 + 12345;
        ch = static_cast<char>(x >> 16);
    }
    int s = connect_to(relay.runtime->port());
    std::thread writer([&] {
        size_t sent = 0;
        while (sent < payload.size()) {
            ssize_t n = ::send(s, payload.data() + sent, payload.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        ::shutdown(s, SHUT_WR);
    });
    std::string got;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(s, buffer, sizeof buffer, 0)) > 0) got.append(buffer, static_cast<size_t>(n));
    writer.join();
    ::close(s);
    EXPECT_EQ(got.size(), payload.size());
    EXPECT_TRUE(got == payload);
}

}  // namespace
}  // namespace vorn
