#pragma once
// Non-blocking TCP sockets and readiness notification for the transparent redirect proxy, and
// the query for a redirected connection's original destination.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/result.h"

namespace vorn {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

struct Endpoint {
    bool ipv6 = false;
    std::array<uint8_t, 16> address{};  // IPv4 in the first 4 bytes, network order
    uint16_t port = 0;                  // host order
};

// What receive and send return besides a byte count.
inline constexpr long kWouldBlock = -2;
inline constexpr long kSocketError = -1;

// Why no connection was accepted.
enum class AcceptStatus {
    none_pending,
    out_of_resources,  // no descriptor or memory for now: try again later
    failed,            // the listener itself failed
};

// The message is the system's text (empty when none is pending).
struct AcceptFailure : Failure {
    AcceptStatus status = AcceptStatus::failed;
};

// Interest in a registered socket.
enum : unsigned { kWantRead = 1, kWantWrite = 2 };

// Readiness of the sockets one I/O thread serves (level-triggered). Only the owning thread calls
// add, modify, remove and wait; wake may be called from any thread. A socket is registered only
// while something is wanted from it, so a hung-up socket nobody waits on raises no events.
class SocketPoller {
public:
    struct Event {
        uint64_t token;
        bool readable;  // also on hang-up or error, when reading was wanted
        bool writable;  // also on hang-up or error, when writing was wanted
    };
    virtual ~SocketPoller() = default;
    virtual bool add(SocketHandle socket, uint64_t token, unsigned interest) = 0;
    virtual bool modify(SocketHandle socket, uint64_t token, unsigned interest) = 0;
    virtual void remove(SocketHandle socket) = 0;
    // Waits up to `timeout_ms`, or until woken; `events` is replaced. False when the poller failed.
    virtual bool wait(uint32_t timeout_ms, std::vector<Event>& events) = 0;
    virtual void wake() = 0;
    // A monotonic clock in milliseconds, for the deadlines the I/O thread keeps.
    virtual uint64_t now_ms() = 0;
};

// Holds relayed bytes between the receive from one socket and the send to the other, oldest
// first. Only an empty buffer may be used again for another connection.
class RelayBuffer {
public:
    virtual ~RelayBuffer() = default;
    // Receives up to `size` bytes after those held: a byte count, 0 at end of stream, kWouldBlock
    // or kSocketError.
    virtual long fill(SocketHandle socket, size_t size) = 0;
    // Sends up to `size` of the held bytes: a byte count, kWouldBlock or kSocketError.
    virtual long drain(SocketHandle socket, size_t size) = 0;
};

class SocketApi {
public:
    virtual ~SocketApi() = default;
    // A non-blocking listening socket on 127.0.0.1 with a system-assigned port (backlog 128);
    // `port` is set.
    virtual Result<SocketHandle> listen_loopback(uint16_t& port) = 0;
    // One pending connection, non-blocking, with no Nagle delay and buffers sized for bulk.
    virtual Result<SocketHandle, AcceptFailure> accept(SocketHandle listener) = 0;
    // Starts a non-blocking connection (set up like an accepted one); it has completed, one way
    // or the other, once the socket is writable: then `connection_result` tells which.
    virtual Result<SocketHandle> start_connect(const Endpoint& to) = 0;
    virtual Status connection_result(SocketHandle socket) = 0;
    // Bytes received; 0 at end of stream; kWouldBlock or kSocketError. Interrupted calls are
    // retried.
    virtual long receive(SocketHandle socket, char* buffer, size_t size) = 0;
    // Bytes sent (possibly fewer than asked); kWouldBlock or kSocketError.
    virtual long send(SocketHandle socket, const char* data, size_t size) = 0;
    virtual void shutdown_send(SocketHandle socket) = 0;
    virtual void close(SocketHandle socket) = 0;
    virtual Result<std::unique_ptr<SocketPoller>> make_poller() = 0;
    // A buffer of `capacity` bytes; by default memory that receive and send pass through.
    virtual std::unique_ptr<RelayBuffer> make_relay_buffer(size_t capacity);
};

class MemoryRelayBuffer final : public RelayBuffer {
public:
    MemoryRelayBuffer(SocketApi& sockets, size_t capacity)
        : sockets_(sockets), data_(new char[capacity]), capacity_(capacity) {}
    long fill(SocketHandle socket, size_t size) override {
        long n = sockets_.receive(socket, data_.get() + end_, std::min(size, capacity_ - end_));
        if (n > 0) end_ += static_cast<size_t>(n);
        return n;
    }
    long drain(SocketHandle socket, size_t size) override {
        long n = sockets_.send(socket, data_.get() + begin_, std::min(size, end_ - begin_));
        if (n > 0) begin_ += static_cast<size_t>(n);
        if (begin_ == end_) begin_ = end_ = 0;
        return n;
    }

private:
    SocketApi& sockets_;
    std::unique_ptr<char[]> data_;
    size_t capacity_;
    size_t begin_ = 0;
    size_t end_ = 0;
};

inline std::unique_ptr<RelayBuffer> SocketApi::make_relay_buffer(size_t capacity) {
    return std::make_unique<MemoryRelayBuffer>(*this, capacity);
}

class RedirectContext {
public:
    virtual ~RedirectContext() = default;
    // The original destination of a redirected connection as a Windows socket address (family
    // 2 or 23, port in network order, the address), at most 4096 bytes; a failure when the
    // system has none.
    virtual Result<std::string> query(SocketHandle accepted) = 0;
};

}  // namespace vorn
