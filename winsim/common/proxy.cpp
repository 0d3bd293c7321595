#include "common/proxy.h"

#include <ws2tcpip.h>

#include <thread>
#include <vector>

namespace winsim {

namespace {

bool read_exact(SOCKET s, void* buffer, int size) {
    char* p = static_cast<char*>(buffer);
    while (size > 0) {
        int n = recv(s, p, size, 0);
        if (n <= 0) return false;
        p += n;
        size -= n;
    }
    return true;
}

bool write_all(SOCKET s, const void* buffer, int size) {
    const char* p = static_cast<const char*>(buffer);
    while (size > 0) {
        int n = send(s, p, size, 0);
        if (n <= 0) return false;
        p += n;
        size -= n;
    }
    return true;
}

SOCKET dial(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &result) != 0) return INVALID_SOCKET;
    SOCKET s = socket(result->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET && connect(s, result->ai_addr, static_cast<int>(result->ai_addrlen)) != 0) {
        closesocket(s);
        s = INVALID_SOCKET;
    }
    freeaddrinfo(result);
    return s;
}

bool is_loopback(const std::string& host) { return host.rfind("127.", 0) == 0 || host == "::1"; }

// SOCKS5 CONNECT through an upstream port on loopback.
SOCKET dial_via_socks(uint16_t socks_port, const std::string& host, uint16_t port) {
    SOCKET s = dial("127.0.0.1", socks_port);
    if (s == INVALID_SOCKET) return s;
    unsigned char hello[3] = {5, 1, 0};
    unsigned char choice[2];
    std::vector<unsigned char> request = {5, 1, 0, 3, static_cast<unsigned char>(host.size())};
    request.insert(request.end(), host.begin(), host.end());
    request.push_back(static_cast<unsigned char>(port >> 8));
    request.push_back(static_cast<unsigned char>(port & 255));
    unsigned char reply[10];
    bool ok = write_all(s, hello, 3) && read_exact(s, choice, 2) && choice[1] == 0 &&
              write_all(s, request.data(), static_cast<int>(request.size())) && read_exact(s, reply, 10) &&
              reply[1] == 0;
    if (!ok) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

enum class RemoteKind { Socket, Simulated, Failed };

RemoteKind open_far_side(const ProxyOptions& options, const std::string& host, uint16_t port, SOCKET& remote) {
    remote = INVALID_SOCKET;
    if (options.upstream_socks_port != 0) {
        remote = dial_via_socks(options.upstream_socks_port, host, port);
        return remote == INVALID_SOCKET ? RemoteKind::Failed : RemoteKind::Socket;
    }
    if (!is_loopback(host)) return RemoteKind::Simulated;
    remote = dial(host, port);
    return remote == INVALID_SOCKET ? RemoteKind::Failed : RemoteKind::Socket;
}

// Copies both ways; an end of stream on one side is passed on as a shutdown of the other, and
// both are closed once neither has more to say. A simulated far side swallows what it gets.
void relay(SOCKET client, SOCKET remote) {
    char buffer[16384];
    bool client_open = true;
    bool remote_open = remote != INVALID_SOCKET;
    while (client_open || remote_open) {
        fd_set readable;
        FD_ZERO(&readable);
        if (client_open) FD_SET(client, &readable);
        if (remote_open) FD_SET(remote, &readable);
        if (select(0, &readable, nullptr, nullptr, nullptr) <= 0) break;
        if (client_open && FD_ISSET(client, &readable)) {
            int n = recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) {
                client_open = false;
                if (remote != INVALID_SOCKET) shutdown(remote, SD_SEND);
            } else if (remote != INVALID_SOCKET && !write_all(remote, buffer, n)) {
                break;
            }
        }
        if (remote_open && FD_ISSET(remote, &readable)) {
            int n = recv(remote, buffer, sizeof buffer, 0);
            if (n <= 0) {
                remote_open = false;
                shutdown(client, SD_SEND);
            } else if (!write_all(client, buffer, n)) {
                break;
            }
        }
    }
    if (remote != INVALID_SOCKET) closesocket(remote);
    closesocket(client);
}

void socks_session(SOCKET client, ProxyOptions options) {
    unsigned char head[2];
    unsigned char methods[255];
    if (!read_exact(client, head, 2) || head[0] != 5 || !read_exact(client, methods, head[1])) {
        closesocket(client);
        return;
    }
    bool no_auth = false;
    for (int i = 0; i < head[1]; ++i) no_auth = no_auth || methods[i] == 0;
    unsigned char choice[2] = {5, static_cast<unsigned char>(no_auth ? 0 : 0xFF)};
    unsigned char request[4];
    if (!write_all(client, choice, 2) || !no_auth || !read_exact(client, request, 4) || request[1] != 1) {
        closesocket(client);
        return;
    }
    std::string host;
    if (request[3] == 1) {
        unsigned char a[4];
        if (!read_exact(client, a, 4)) return (void)closesocket(client);
        host = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]);
    } else if (request[3] == 3) {
        unsigned char length;
        char name[256];
        if (!read_exact(client, &length, 1) || !read_exact(client, name, length)) return (void)closesocket(client);
        host.assign(name, length);
    } else if (request[3] == 4) {
        unsigned char a[16];
        char text[64];
        if (!read_exact(client, a, 16)) return (void)closesocket(client);
        inet_ntop(AF_INET6, a, text, sizeof text);
        host = text;
    } else {
        return (void)closesocket(client);
    }
    unsigned char port_bytes[2];
    if (!read_exact(client, port_bytes, 2)) return (void)closesocket(client);
    uint16_t port = static_cast<uint16_t>(port_bytes[0] << 8 | port_bytes[1]);
    SOCKET remote;
    RemoteKind kind = open_far_side(options, host, port, remote);
    unsigned char reply[10] = {5, static_cast<unsigned char>(kind == RemoteKind::Failed ? 5 : 0), 0, 1, 127, 0, 0, 1, 0, 0};
    if (!write_all(client, reply, 10) || kind == RemoteKind::Failed) {
        if (remote != INVALID_SOCKET) closesocket(remote);
        closesocket(client);
        return;
    }
    relay(client, remote);
}

void http_session(SOCKET client, ProxyOptions options) {
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
        if (recv(client, &c, 1, 0) != 1) return (void)closesocket(client);
        head += c;
    }
    // CONNECT host:port HTTP/1.1
    size_t sp1 = head.find(' ');
    size_t sp2 = head.find(' ', sp1 + 1);
    std::string method = head.substr(0, sp1);
    std::string target = sp1 == std::string::npos ? "" : head.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t colon = target.rfind(':');
    if (method != "CONNECT" || colon == std::string::npos) {
        const char* refusal = "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n";
        write_all(client, refusal, static_cast<int>(strlen(refusal)));
        return (void)closesocket(client);
    }
    std::string host = target.substr(0, colon);
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    uint16_t port = static_cast<uint16_t>(std::atoi(target.c_str() + colon + 1));
    SOCKET remote;
    RemoteKind kind = open_far_side(options, host, port, remote);
    const char* answer = kind == RemoteKind::Failed ? "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n"
                                             : "HTTP/1.1 200 Connection established\r\n\r\n";
    if (!write_all(client, answer, static_cast<int>(strlen(answer))) || kind == RemoteKind::Failed) {
        if (remote != INVALID_SOCKET) closesocket(remote);
        closesocket(client);
        return;
    }
    relay(client, remote);
}

void serve(SOCKET listener, ProxyOptions options, void (*session)(SOCKET, ProxyOptions)) {
    std::thread([=] {
        for (;;) {
            SOCKET client = accept(listener, nullptr, nullptr);
            if (client == INVALID_SOCKET) continue;
            std::thread(session, client, options).detach();
        }
    }).detach();
}

}  // namespace

bool winsock_start() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

bool open_listener(const std::string& host, uint16_t port, SOCKET& listener, std::string& error) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL exclusive = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 64) != 0) {
        error = "listen tcp " + host + ":" + std::to_string(port) + ": bind: address already in use (" +
                std::to_string(WSAGetLastError()) + ")";
        closesocket(listener);
        return false;
    }
    return true;
}

void serve_socks5(SOCKET listener, ProxyOptions options) { serve(listener, options, socks_session); }
void serve_http_connect(SOCKET listener, ProxyOptions options) { serve(listener, options, http_session); }

}  // namespace winsim
