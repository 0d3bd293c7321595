#include "split_tunnel/redirect_proxy.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

namespace vorn {

namespace {

constexpr size_t kContextLimit = 4096;
constexpr size_t kRelayBuffer = 8192;
constexpr uint32_t kAcceptWaitMs = 20;
// A stuck engine must not pin a connection: the SOCKS exchange (and reaching the engine) is
// bounded.
constexpr uint32_t kUpstreamTimeoutMs = 5000;
// How long a stop waits for the relay threads of closed connections to finish.
constexpr auto kStopGrace = std::chrono::milliseconds(500);

}  // namespace

// One relayed connection: the application's socket and the one to the engine.
struct Relay {
    SocketHandle app = kNoSocket;
    SocketHandle upstream = kNoSocket;
    std::atomic<int> directions_left{2};
};

// Shared by the listener thread, every relay thread and the runtime handle.
struct RelayState {
    SocketApi& sockets;
    RedirectContext& context;
    Endpoint upstream;
    SocketHandle listener = kNoSocket;
    std::atomic<bool> stop{false};
    std::thread listener_thread;

    mutable std::mutex mutex;
    std::condition_variable idle;
    std::set<Relay*> active;
    size_t threads = 0;  // relay threads still running

    RelayState(SocketApi& s, RedirectContext& c, const Endpoint& u) : sockets(s), context(c), upstream(u) {}
};

namespace {

bool read_exact(SocketApi& sockets, SocketHandle s, char* buffer, size_t size) {
    while (size > 0) {
        long n = sockets.receive(s, buffer, size);
        if (n <= 0) return false;
        buffer += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The SOCKS5 exchange: no authentication, then CONNECT to the destination by address.
Status socks5_handshake(SocketApi& sockets, SocketHandle s, const Endpoint& destination) {
    const char greeting[3] = {5, 1, 0};
    char reply[4];
    if (!sockets.send_all(s, greeting, 3) || !read_exact(sockets, s, reply, 2)) return fail(sockets.last_error_text());
    if (reply[0] != 5 || reply[1] != 0) return fail("local SOCKS upstream rejected no-authentication negotiation");
    std::string request = socks5_connect_request(destination);
    if (!sockets.send_all(s, request.data(), request.size()) || !read_exact(sockets, s, reply, 4)) {
        return fail(sockets.last_error_text());
    }
    unsigned char status = static_cast<unsigned char>(reply[1]);
    if (reply[0] != 5 || status != 0) {
        return fail("local SOCKS upstream rejected CONNECT with status " + std::to_string(status));
    }
    size_t discard;
    switch (reply[3]) {
        case 1: discard = 6; break;
        case 4: discard = 18; break;
        case 3: {
            unsigned char length;
            if (!read_exact(sockets, s, reinterpret_cast<char*>(&length), 1)) return fail(sockets.last_error_text());
            discard = size_t{length} + 2;
            break;
        }
        default: return fail("local SOCKS upstream sent an unsupported address type");
    }
    char bound[258];
    if (!read_exact(sockets, s, bound, discard)) return fail(sockets.last_error_text());
    return {};
}

void finish_direction(RelayState& state, Relay& relay) {
    if (--relay.directions_left > 0) return;
    {
        std::lock_guard lock(state.mutex);
        state.active.erase(&relay);
    }
    state.sockets.close(relay.app);
    state.sockets.close(relay.upstream);
    delete &relay;
}

// Copies one direction. End of stream is passed on as a shutdown of the other side's sending
// half, so an exchange that ends with a half-close completes; an error ends both directions.
void copy(RelayState& state, Relay& relay, SocketHandle from, SocketHandle to) {
    char buffer[kRelayBuffer];
    for (;;) {
        long n = state.sockets.receive(from, buffer, sizeof buffer);
        if (n == 0) {
            state.sockets.shutdown_send(to);
            break;
        }
        if (n < 0 || !state.sockets.send_all(to, buffer, static_cast<size_t>(n))) {
            state.sockets.shutdown_both(from);
            state.sockets.shutdown_both(to);
            break;
        }
    }
    finish_direction(state, relay);
}

// Threads that relay, kept for reuse: a new connection rarely pays for creating a thread. A job
// never waits for a busy thread (every job a thread of its own), and a thread left idle for a
// while ends. Process-wide and never destroyed, so that no parked thread outlives it.
class WorkerPool {
public:
    static WorkerPool& instance() {
        static WorkerPool* pool = new WorkerPool;
        return *pool;
    }

    // False when no thread could be had for the job.
    bool submit(std::function<void()> job) {
        std::unique_lock lock(mutex_);
        jobs_.push_back(std::move(job));
        if (idle_ >= jobs_.size()) {
            wake_.notify_one();
            return true;
        }
        try {
            std::thread([this] { work(); }).detach();
            return true;
        } catch (const std::system_error&) {
            jobs_.pop_back();
            return false;
        }
    }

private:
    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            bool has_job = wake_.wait_for(lock, std::chrono::seconds(30), [&] { return !jobs_.empty(); });
            --idle_;
            if (!has_job) return;
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    size_t idle_ = 0;
};

void thread_done(RelayState& state) {
    std::lock_guard lock(state.mutex);
    if (--state.threads == 0) state.idle.notify_all();
}

// Starts a thread counted in the state; false (and nothing started) when it cannot be created.
template <class F>
bool spawn(const std::shared_ptr<RelayState>& state, F&& body) {
    {
        std::lock_guard lock(state->mutex);
        ++state->threads;
    }
    bool started = WorkerPool::instance().submit([state, body = std::forward<F>(body)]() mutable {
        body();
        thread_done(*state);
    });
    if (!started) thread_done(*state);
    return started;
}

void handle_connection(const std::shared_ptr<RelayState>& state, SocketHandle app) {
    SocketApi& sockets = state->sockets;
    auto context = state->context.query(app);
    if (!context || context->size() > kContextLimit) {
        sockets.close(app);
        return;
    }
    auto destination = decode_redirect_context(*context);
    if (!destination) {
        sockets.close(app);
        return;
    }
    auto upstream = sockets.connect(state->upstream, kUpstreamTimeoutMs);
    if (!upstream) {
        sockets.close(app);
        return;
    }
    sockets.set_io_timeout(*upstream, kUpstreamTimeoutMs);
    if (!socks5_handshake(sockets, *upstream, *destination)) {
        sockets.close(*upstream);
        sockets.close(app);
        return;
    }
    sockets.set_io_timeout(*upstream, 0);

    auto* relay = new Relay{app, *upstream};
    {
        std::lock_guard lock(state->mutex);
        if (state->stop) {
            sockets.close(app);
            sockets.close(*upstream);
            delete relay;
            return;
        }
        state->active.insert(relay);
    }
    RelayState& s = *state;
    if (!spawn(state, [&s, relay] { copy(s, *relay, relay->app, relay->upstream); })) {
        sockets.shutdown_both(app);
        finish_direction(s, *relay);  // the direction that never started
    }
    copy(s, *relay, relay->upstream, relay->app);
}

void listen_loop(const std::shared_ptr<RelayState>& state) {
    while (!state->stop) {
        bool failed = false;
        SocketHandle app = state->sockets.accept(state->listener, kAcceptWaitMs, failed);
        if (failed) break;
        if (app == kNoSocket) continue;
        // Every connection is relayed at once on its own thread: one long download never holds
        // back another application's connections.
        if (!spawn(state, [state, app] { handle_connection(state, app); })) state->sockets.close(app);
    }
    state->sockets.close(state->listener);
}

}  // namespace

Result<Endpoint> decode_redirect_context(std::string_view context) {
    if (context.size() < 8) return fail("redirect context is shorter than a SOCKADDR");
    auto byte = [&](size_t i) { return static_cast<uint8_t>(context[i]); };
    uint16_t family = static_cast<uint16_t>(byte(0) | (byte(1) << 8));
    Endpoint endpoint;
    endpoint.port = static_cast<uint16_t>((byte(2) << 8) | byte(3));
    if (family == 2) {
        for (size_t i = 0; i < 4; ++i) endpoint.address[i] = byte(4 + i);
    } else if (family == 23) {
        if (context.size() < 24) return fail("IPv6 redirect context is truncated");
        endpoint.ipv6 = true;
        for (size_t i = 0; i < 16; ++i) endpoint.address[i] = byte(8 + i);
    } else {
        return fail("redirect context has unsupported address family " + std::to_string(family));
    }
    return endpoint;
}

std::string socks5_connect_request(const Endpoint& destination) {
    std::string request = {5, 1, 0, static_cast<char>(destination.ipv6 ? 4 : 1)};
    request.append(reinterpret_cast<const char*>(destination.address.data()), destination.ipv6 ? 16 : 4);
    request += static_cast<char>(destination.port >> 8);
    request += static_cast<char>(destination.port & 0xFF);
    return request;
}

SplitRuntime::SplitRuntime(std::shared_ptr<RelayState> state, uint16_t port) : state_(std::move(state)), port_(port) {}

SplitRuntime::~SplitRuntime() { stop_redirect_listener(*this); }

size_t SplitRuntime::active_connections() const {
    std::lock_guard lock(state_->mutex);
    return state_->active.size();
}

Result<std::unique_ptr<SplitRuntime>> start_redirect_listener(SocketApi& sockets, RedirectContext& context,
                                                              const Endpoint& upstream) {
    uint16_t port = 0;
    auto listener = sockets.listen_loopback(port);
    if (!listener) return listener.failure();
    auto state = std::make_shared<RelayState>(sockets, context, upstream);
    state->listener = *listener;
    try {
        state->listener_thread = std::thread([state] { listen_loop(state); });
    } catch (const std::system_error& e) {
        sockets.close(*listener);
        return fail(std::string("could not start split redirect listener: ") + e.what());
    }
    return std::make_unique<SplitRuntime>(state, port);
}

void stop_redirect_listener(SplitRuntime& runtime) {
    RelayState& state = *runtime.state_;
    state.stop = true;
    if (state.listener_thread.joinable()) state.listener_thread.join();
    std::unique_lock lock(state.mutex);
    // Closing both halves makes every blocked receive return, so each relay thread finishes.
    for (Relay* relay : state.active) {
        state.sockets.shutdown_both(relay->app);
        state.sockets.shutdown_both(relay->upstream);
    }
    state.idle.wait_for(lock, kStopGrace, [&] { return state.threads == 0; });
}

}  // namespace vorn
