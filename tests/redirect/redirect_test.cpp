// The relay under real kernel redirection, in a private network namespace (run-in-namespace.sh):
// iptables REDIRECT bends connections for 10.9.9.9 and fd00::9 to the relay, which reads the
// original destination from netfilter and forwards through a real SOCKS5 server from Debian
// (microsocks, and dante), run as "nobody" so that its own connections are not redirected.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "platform/posix/posix_sockets.h"
#include "split_tunnel/redirect_proxy.h"

extern char** environ;

namespace vorn {
namespace {

using namespace std::chrono_literals;

constexpr uint16_t kEchoPort = 7777;
constexpr uint16_t kLateReplyPort = 7778;
constexpr uint16_t kMicrosocksPort = 1080;
constexpr uint16_t kDantePort = 1081;

pid_t spawn(const std::vector<std::string>& argv) {
    std::vector<char*> raw;
    for (const auto& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, raw[0], nullptr, nullptr, raw.data(), environ) != 0) return -1;
    return pid;
}

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

sockaddr_storage address_of(const std::string& host, uint16_t port, socklen_t& length) {
    sockaddr_storage s{};
    if (host.find(':') != std::string::npos) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&s);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
        length = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&s);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        inet_pton(AF_INET, host.c_str(), &a->sin_addr);
        length = sizeof(sockaddr_in);
    }
    return s;
}

int dial(const std::string& host, uint16_t port) {
    socklen_t length;
    sockaddr_storage a = address_of(host, port, length);
    int s = ::socket(a.ss_family, SOCK_STREAM, 0);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), length) != 0) {
        ::close(s);
        return -1;
    }
    timeval limit{20, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return s;
}

// A destination server: echoes, or (late) answers once its client has finished sending.
void serve(const std::string& host, uint16_t port, bool late) {
    socklen_t length;
    sockaddr_storage a = address_of(host, port, length);
    int listener = ::socket(a.ss_family, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (a.ss_family == AF_INET6) ::setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), length) != 0 || ::listen(listener, 512) != 0) {
        std::perror("destination server");
        std::abort();
    }
    std::thread([listener, late] {
        for (;;) {
            int c = ::accept(listener, nullptr, nullptr);
            if (c < 0) continue;
            std::thread([c, late] {
                char buffer[65536];
                std::string all;
                ssize_t n;
                while ((n = ::recv(c, buffer, sizeof buffer, 0)) > 0) {
                    if (late) {
                        all.append(buffer, static_cast<size_t>(n));
                    } else if (::send(c, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) < 0) {
                        break;
                    }
                }
                if (late) {
                    std::string reply = "reply to " + all;
                    ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
                }
                ::close(c);
            }).detach();
        }
    }).detach();
}

class Namespace : public ::testing::Environment {
public:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        serve("10.9.9.9", kEchoPort, false);
        serve("fd00::9", kEchoPort, false);
        serve("10.9.9.9", kLateReplyPort, true);
        microsocks_ = spawn({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "microsocks", "-i",
                             "127.0.0.1", "-p", std::to_string(kMicrosocksPort)});
        std::ofstream("/tmp/vorn-danted.conf")
            << "logoutput: /dev/null\ninternal: 127.0.0.1 port = " << kDantePort
            << "\nexternal: lo\nclientmethod: none\nsocksmethod: none\nuser.privileged: nobody\n"
               "user.unprivileged: nobody\nclient pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
               "client pass { from: 127.0.0.0/8 to: ::/0 }\n"
               "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect }\n"
               "socks pass { from: 127.0.0.0/8 to: ::/0 command: connect }\n";
        dante_ = spawn({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "danted", "-f",
                        "/tmp/vorn-danted.conf"});
        for (int i = 0; i < 100; ++i) {
            int m = dial("127.0.0.1", kMicrosocksPort);
            int d = dial("127.0.0.1", kDantePort);
            if (m >= 0) ::close(m);
            if (d >= 0) ::close(d);
            if (m >= 0 && d >= 0) return;
            std::this_thread::sleep_for(50ms);
        }
        FAIL() << "the SOCKS5 servers did not start";
    }
    void TearDown() override {
        for (pid_t pid : {microsocks_, dante_}) {
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    }

private:
    pid_t microsocks_ = -1;
    pid_t dante_ = -1;
};

// A relay in front of a SOCKS5 port, with the namespace's traffic for the test addresses bent
// to it.
struct RedirectedRelay {
    posix::PosixSockets sockets{true};
    posix::NetfilterRedirectContext context;
    std::unique_ptr<SplitRuntime> runtime;

    explicit RedirectedRelay(uint16_t socks_port) {
        Endpoint upstream;
        upstream.address = {127, 0, 0, 1};
        upstream.port = socks_port;
        auto started = start_redirect_listener(sockets, context, upstream);
        EXPECT_TRUE(started.ok());
        runtime = std::move(*started);
        std::string port = std::to_string(runtime->port());
        run("iptables -t nat -F OUTPUT && ip6tables -t nat -F OUTPUT");
        run("iptables -t nat -A OUTPUT -p tcp -d 10.9.9.9 -m owner ! --uid-owner nobody -j REDIRECT --to-ports " + port);
        run("ip6tables -t nat -A OUTPUT -p tcp -d fd00::9 -m owner ! --uid-owner nobody -j REDIRECT --to-ports " + port);
    }
};

std::string random_bytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator());
    return bytes;
}

// Sends everything (from a second thread) and returns what came back: with `half_close`, the
// client shuts down its sending side and reads until the far end closes; without, it reads as
// many bytes as it sent and closes (microsocks ends a connection at the first end of stream it
// sees, so it cannot carry a half-closed exchange).
std::string round_trip(const std::string& host, uint16_t port, const std::string& payload, bool half_close = true) {
    int s = dial(host, port);
    if (s < 0) return "<refused>";
    std::thread writer([&] {
        size_t sent = 0;
        while (sent < payload.size()) {
            ssize_t n = ::send(s, payload.data() + sent, std::min<size_t>(65536, payload.size() - sent), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        if (half_close) ::shutdown(s, SHUT_WR);
    });
    std::string got;
    char buffer[65536];
    ssize_t n;
    while ((half_close || got.size() < payload.size()) && (n = ::recv(s, buffer, sizeof buffer, 0)) > 0) {
        got.append(buffer, static_cast<size_t>(n));
    }
    writer.join();
    ::close(s);
    return got;
}

TEST(KernelRedirect, LargePayloadsRoundTripIntactOverIpv4AndIpv6) {
    for (uint16_t socks : {kMicrosocksPort, kDantePort}) {
        RedirectedRelay relay(socks);
        for (const char* host : {"10.9.9.9", "fd00::9"}) {
            SCOPED_TRACE(std::string(host) + " via SOCKS port " + std::to_string(socks));
            std::string payload = random_bytes(8 * 1024 * 1024 + 3, socks);
            std::string got = round_trip(host, kEchoPort, payload, socks == kDantePort);
            EXPECT_EQ(got.size(), payload.size());
            EXPECT_TRUE(got == payload);
        }
    }
}

TEST(KernelRedirect, ManyConnectionsAtOnce) {
    RedirectedRelay relay(kMicrosocksPort);
    constexpr int kClients = 64;
    std::atomic<int> intact{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            std::string payload = random_bytes(256 * 1024, static_cast<uint32_t>(i));
            if (round_trip(i % 2 ? "fd00::9" : "10.9.9.9", kEchoPort, payload, false) == payload) ++intact;
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(intact, kClients);
}

TEST(KernelRedirect, RequestFollowedByHalfCloseGetsItsReply) {
    RedirectedRelay relay(kDantePort);
    EXPECT_EQ(round_trip("10.9.9.9", kLateReplyPort, "GET / HTTP/1.0\r\n\r\n"), "reply to GET / HTTP/1.0\r\n\r\n");
}

TEST(KernelRedirect, UpstreamRefusingTheMethodClosesTheApplicationsConnection) {
    // A SOCKS5 server that accepts no method: 05 FF.
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener, 4);
    socklen_t length = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
    std::thread refuser([listener] {
        int c = ::accept(listener, nullptr, nullptr);
        char greeting[3];
        ::recv(c, greeting, 3, MSG_WAITALL);
        ::send(c, "\x05\xFF", 2, MSG_NOSIGNAL);
        char rest;
        ::recv(c, &rest, 1, 0);
        ::close(c);
    });
    RedirectedRelay relay(ntohs(a.sin_port));
    EXPECT_EQ(round_trip("10.9.9.9", kEchoPort, "hello"), "");
    refuser.join();
    ::close(listener);
}

TEST(KernelRedirect, StopClosesLiveConnectionsAndThePortStopsAccepting) {
    RedirectedRelay relay(kMicrosocksPort);
    int live = dial("10.9.9.9", kEchoPort);
    ASSERT_GE(live, 0);
    ASSERT_EQ(::send(live, "x", 1, 0), 1);
    char c;
    ASSERT_EQ(::recv(live, &c, 1, 0), 1);
    auto begin = std::chrono::steady_clock::now();
    stop_redirect_listener(*relay.runtime);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    EXPECT_LE(::recv(live, &c, 1, 0), 0);
    ::close(live);
    EXPECT_EQ(dial("10.9.9.9", kEchoPort), -1);  // redirected to a port nobody listens on
}

}  // namespace
}  // namespace vorn

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new vorn::Namespace);
    return RUN_ALL_TESTS();
}
