// Helpers of bench/relay, run inside its network namespace:
//
//   relay_tool relay SOCKS-PORT                 run our redirect proxy in front of 127.0.0.1:SOCKS-PORT;
//                                               prints its port, runs until killed
//   relay_tool echo PORT                        an echo server on every address
//   relay_tool cps HOST PORT SECONDS WORKERS    short connections: connect, "ping", reply, close;
//                                               prints connections per second
//   relay_tool hold HOST PORT COUNT PID         opens COUNT connections, checks each echoes, holds
//                                               them; prints how many held and PID's memory growth

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix_sockets.h"
#include "split_tunnel/redirect_proxy.h"

namespace {

int dial(const char* host, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host, &a.sin_addr);
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    timeval limit{10, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

long rss_kb(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

int relay(int socks_port) {
    vorn::posix::PosixSockets sockets(true);
    vorn::posix::NetfilterRedirectContext context;
    vorn::Endpoint upstream;
    upstream.address = {127, 0, 0, 1};
    upstream.port = static_cast<uint16_t>(socks_port);
    auto runtime = vorn::start_redirect_listener(sockets, context, upstream);
    if (!runtime) {
        std::fprintf(stderr, "%s\n", runtime.error().c_str());
        return 1;
    }
    std::printf("%u\n", (*runtime)->port());
    std::fflush(stdout);
    for (;;) pause();
}

int echo(int port) {
    int listener = ::socket(AF_INET6, SOCK_STREAM, 0);
    int one = 1, no = 0;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 4096) != 0) return 1;
    for (;;) {
        int c = ::accept(listener, nullptr, nullptr);
        if (c < 0) continue;
        std::thread([c] {
            char buffer[16384];
            ssize_t n;
            while ((n = ::recv(c, buffer, sizeof buffer, 0)) > 0) {
                if (::send(c, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) < 0) break;
            }
            ::close(c);
        }).detach();
    }
}

int cps(const char* host, int port, int seconds, int workers) {
    std::atomic<long> done{0}, failed{0};
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            char reply[4];
            while (std::chrono::steady_clock::now() < end) {
                int s = dial(host, port);
                bool ok = s >= 0 && ::send(s, "ping", 4, MSG_NOSIGNAL) == 4 && ::recv(s, reply, 4, MSG_WAITALL) == 4;
                if (s >= 0) ::close(s);
                ++(ok ? done : failed);
            }
        });
    }
    for (auto& t : threads) t.join();
    std::printf("%.1f %ld\n", double(done) / seconds, long(failed));
    return 0;
}

int hold(const char* host, int port, int count, int pid) {
    long before = rss_kb(pid);
    std::vector<int> held;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        int s = dial(host, port);
        char c;
        if (s < 0 || ::send(s, "x", 1, MSG_NOSIGNAL) != 1 || ::recv(s, &c, 1, 0) != 1) {
            ++failed;
            if (s >= 0) ::close(s);
            continue;
        }
        held.push_back(s);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long after = rss_kb(pid);
    // All still alive after the hold?
    int alive = 0;
    for (int s : held) {
        char c;
        if (::send(s, "y", 1, MSG_NOSIGNAL) == 1 && ::recv(s, &c, 1, 0) == 1) ++alive;
    }
    std::printf("%d %d %ld %ld\n", alive, failed, before, after);
    for (int s : held) ::close(s);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "relay" && argc == 3) return relay(std::atoi(argv[2]));
    if (mode == "echo" && argc == 3) return echo(std::atoi(argv[2]));
    if (mode == "cps" && argc == 6) return cps(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    if (mode == "hold" && argc == 6) return hold(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    std::fprintf(stderr, "usage: see the top of bench/relay_tool.cpp\n");
    return 2;
}
