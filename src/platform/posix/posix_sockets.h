#pragma once
// POSIX sockets and epoll for the redirect proxy, and the original destination netfilter keeps
// for a redirected connection.

#include "platform/sockets.h"

namespace vorn::posix {

class PosixSockets final : public SocketApi {
public:
    // With `any_address`, the listener is a dual-stack socket on every address instead of
    // 127.0.0.1: what netfilter's REDIRECT needs to bend IPv6 connections to it (they arrive on
    // ::1). For a private network namespace only.
    explicit PosixSockets(bool any_address = false) : any_address_(any_address) {}

    Result<SocketHandle> listen_loopback(uint16_t& port) override;
    Result<SocketHandle, AcceptFailure> accept(SocketHandle listener) override;
    Result<SocketHandle> start_connect(const Endpoint& to) override;
    Status connection_result(SocketHandle socket) override;
    long receive(SocketHandle socket, char* buffer, size_t size) override;
    long send(SocketHandle socket, const char* data, size_t size) override;
    void shutdown_send(SocketHandle socket) override;
    void close(SocketHandle socket) override;
    Result<std::unique_ptr<SocketPoller>> make_poller() override;

private:
    bool any_address_;
};

// SO_ORIGINAL_DST (IPv4) or IP6T_SO_ORIGINAL_DST (IPv6), rendered in the Windows socket address
// layout (family 2 or 23) so that one decoder serves both systems.
class NetfilterRedirectContext final : public RedirectContext {
public:
    Result<std::string> query(SocketHandle accepted) override;
};

}  // namespace vorn::posix
