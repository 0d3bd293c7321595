// Helpers of bench/relay, run inside its network namespace:
//
//   relay_tool relay SOCKS-PORT                 run our redirect proxy in front of 127.0.0.1:SOCKS-PORT;
//                                               prints its port, runs until killed
//   relay_tool echo PORT                        an echo server on every address (one epoll thread)
//   relay_tool sink PORT                        reads and discards, a thread per connection
//   relay_tool stream HOST PORT SECONDS STREAMS [SOCKS-PORT]
//                                               STREAMS connections writing 1 MiB at a time; prints
//                                               Gbit/s over the last SECONDS after a 1 s warm-up
//   relay_tool cps HOST PORT SECONDS WORKERS [SOCKS-PORT]
//                                               short connections: connect, "ping", reply, close;
//                                               prints connections per second
//   relay_tool hold HOST PORT COUNT PID         opens COUNT connections, checks each echoes, holds
//                                               them; prints how many held, failed, PID's memory
//                                               (KiB) and threads before and while they are held
//
// With SOCKS-PORT the client itself speaks SOCKS5 to 127.0.0.1:SOCKS-PORT for HOST:PORT: the
// ceiling a relay in front of that server could reach.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

bool read_exact(int s, char* buffer, size_t size) {
    while (size > 0) {
        ssize_t n = ::recv(s, buffer, size, 0);
        if (n <= 0) return false;
        buffer += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int dial(const char* host, int port, int socks_port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(socks_port ? socks_port : port));
    inet_pton(AF_INET, socks_port ? "127.0.0.1" : host, &a.sin_addr);
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    timeval limit{10, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (socks_port) {
        std::string request = std::string("\x05\x01\x00\x01", 4);
        in_addr destination{};
        inet_pton(AF_INET, host, &destination);
        uint16_t port_be = htons(static_cast<uint16_t>(port));
        request.append(reinterpret_cast<const char*>(&destination), 4);
        request.append(reinterpret_cast<const char*>(&port_be), 2);
        char reply[10];
        bool ok = ::send(s, "\x05\x01\x00", 3, MSG_NOSIGNAL) == 3 && read_exact(s, reply, 2) &&
                  reply[1] == 0 &&
                  ::send(s, request.data(), request.size(), MSG_NOSIGNAL) ==
                      static_cast<ssize_t>(request.size()) &&
                  read_exact(s, reply, 10) && reply[1] == 0 && reply[3] == 1;
        if (!ok) {
            ::close(s);
            return -1;
        }
    }
    return s;
}

void raise_descriptor_limit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

long status_field(int pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + field.size());
    }
    return -1;
}
long rss_kb(int pid) { return status_field(pid, "VmRSS:"); }
long threads(int pid) { return status_field(pid, "Threads:"); }

int relay(int socks_port) {
    raise_descriptor_limit();
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

int listen_any(int port) {
    int listener = ::socket(AF_INET6, SOCK_STREAM, 0);
    int one = 1, no = 0;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener, 4096) != 0)
        return -1;
    return listener;
}

// One thread, so that tens of thousands of held connections cost the server little.
int echo(int port) {
    raise_descriptor_limit();
    int listener = listen_any(port);
    if (listener < 0) return 1;
    int epoll = ::epoll_create1(0);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = listener;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &e);
    epoll_event ready[256];
    char buffer[16384];
    for (;;) {
        int n = ::epoll_wait(epoll, ready, 256, -1);
        for (int i = 0; i < n; ++i) {
            int c = ready[i].data.fd;
            if (c == listener) {
                int s = ::accept(listener, nullptr, nullptr);
                if (s < 0) continue;
                int one = 1;
                ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                epoll_event add{};
                add.events = EPOLLIN;
                add.data.fd = s;
                ::epoll_ctl(epoll, EPOLL_CTL_ADD, s, &add);
                continue;
            }
            ssize_t got = ::recv(c, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN) ||
                (got > 0 && ::send(c, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got)) {
                ::close(c);
            }
        }
    }
}

int sink(int port) {
    int listener = listen_any(port);
    if (listener < 0) return 1;
    for (;;) {
        int c = ::accept(listener, nullptr, nullptr);
        if (c < 0) continue;
        std::thread([c] {
            std::vector<char> buffer(1 << 20);
            while (::recv(c, buffer.data(), buffer.size(), 0) > 0) {
            }
            ::close(c);
        }).detach();
    }
}

// The rate is taken between two samples of the bytes written, both in the steady state, so that
// what the buffers along the path hold (more with more hops) counts the same at both ends.
int stream(const char* host, int port, int seconds, int streams, int socks_port) {
    std::vector<int> sockets;
    for (int i = 0; i < streams; ++i) {
        int s = dial(host, port, socks_port);
        if (s < 0) {
            std::fprintf(stderr, "stream: could not connect\n");
            return 1;
        }
        sockets.push_back(s);
    }
    std::atomic<bool> done{false};
    std::vector<std::atomic<long long>> written(static_cast<size_t>(streams));
    std::vector<std::thread> writers;
    for (int i = 0; i < streams; ++i) {
        writers.emplace_back([&, i] {
            std::vector<char> block(1 << 20, 'x');
            while (!done) {
                ssize_t n = ::send(sockets[static_cast<size_t>(i)], block.data(), block.size(),
                                   MSG_NOSIGNAL);
                if (n <= 0) break;
                written[static_cast<size_t>(i)] += n;
            }
        });
    }
    auto total = [&] {
        long long sum = 0;
        for (auto& w : written) sum += w;
        return sum;
    };
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long long first = total();
    auto begin = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    long long last = total();
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    done = true;
    for (int s : sockets) ::shutdown(s, SHUT_RDWR);
    for (auto& t : writers) t.join();
    for (int s : sockets) ::close(s);
    std::printf("%.3f\n", double(last - first) * 8 / elapsed / 1e9);
    return 0;
}

int cps(const char* host, int port, int seconds, int workers, int socks_port) {
    std::atomic<long> done{0}, failed{0};
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            char reply[4];
            while (std::chrono::steady_clock::now() < end) {
                int s = dial(host, port, socks_port);
                bool ok = s >= 0 && ::send(s, "ping", 4, MSG_NOSIGNAL) == 4 &&
                          ::recv(s, reply, 4, MSG_WAITALL) == 4;
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
    raise_descriptor_limit();
    long before = rss_kb(pid);
    long threads_before = threads(pid);
    std::vector<int> held;
    int failed = 0;
    // A relay out of descriptors leaves connections unanswered: a short wait for each, and the
    // attempt ends once a run of them failed.
    int failed_in_a_row = 0;
    for (int i = 0; i < count && failed_in_a_row < 20; ++i) {
        int s = dial(host, port);
        timeval limit{1, 0};
        if (s >= 0) ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char c;
        if (s < 0 || ::send(s, "x", 1, MSG_NOSIGNAL) != 1 || ::recv(s, &c, 1, 0) != 1) {
            ++failed;
            ++failed_in_a_row;
            if (s >= 0) ::close(s);
            continue;
        }
        failed_in_a_row = 0;
        held.push_back(s);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long after = rss_kb(pid);
    long threads_after = threads(pid);
    // All still alive after the hold?
    int alive = 0;
    for (int s : held) {
        char c;
        if (::send(s, "y", 1, MSG_NOSIGNAL) == 1 && ::recv(s, &c, 1, 0) == 1) ++alive;
    }
    std::printf("%d %d %ld %ld %ld %ld\n", alive, failed, before, after, threads_before,
                threads_after);
    for (int s : held) ::close(s);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "relay" && argc == 3) return relay(std::atoi(argv[2]));
    if (mode == "echo" && argc == 3) return echo(std::atoi(argv[2]));
    if (mode == "sink" && argc == 3) return sink(std::atoi(argv[2]));
    if (mode == "stream" && (argc == 6 || argc == 7)) {
        return stream(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
                      argc == 7 ? std::atoi(argv[6]) : 0);
    }
    if (mode == "cps" && (argc == 6 || argc == 7)) {
        return cps(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
                   argc == 7 ? std::atoi(argv[6]) : 0);
    }
    if (mode == "hold" && argc == 6)
        return hold(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    std::fprintf(stderr, "usage: see the top of bench/relay_tool.cpp\n");
    return 2;
}
