#include "split_tunnel/redirect_proxy.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vorn {

namespace {

constexpr size_t kContextLimit = 4096;
// Large enough that a bulk transfer costs few system calls per megabyte, and that the engine
// behind us is handed big writes (it reads in fewer, fuller turns).
constexpr size_t kRelayBuffer = 256 * 1024;
// Free buffers an I/O thread keeps for the next burst instead of giving them back.
constexpr size_t kPooledBuffers = 16;
// A stuck engine must not pin a connection: reaching the engine and the SOCKS exchange are
// bounded.
constexpr uint32_t kUpstreamTimeoutMs = 5000;
// Out of descriptors: the listener rests this long before accepting again.
constexpr uint32_t kAcceptRestMs = 50;
constexpr int kAcceptBatch = 64;
// Reads of one direction per readiness event, so that one busy connection cannot starve the rest.
constexpr int kReadsPerEvent = 4;
constexpr uint32_t kIdleWaitMs = 1000;
constexpr size_t kMaxIoThreads = 16;

constexpr uint64_t kListenerToken = 1;
constexpr int kApp = 0;
constexpr int kUpstream = 1;

using BufferPtr = std::unique_ptr<RelayBuffer>;

enum class Phase : uint8_t {
    connecting,
    method_reply,
    connect_reply,
    bound_length,
    bound_address,
    relaying
};

// One direction of a relayed connection: from socket[i] to socket[1 - i].
struct Flow {
    BufferPtr pending;  // only while received bytes still wait to be sent
    uint32_t held = 0;
    bool finished = false;  // end of stream seen and passed on
};

// An intrusive list, so that a connection leaves its lists in constant time.
struct Link {
    struct Connection* prev = nullptr;
    struct Connection* next = nullptr;
};

struct Connection {
    SocketHandle socket[2] = {kNoSocket, kNoSocket};
    uint8_t interest[2] = {0, 0};
    Phase phase = Phase::connecting;
    bool closed = false;
    uint16_t need = 0;  // bytes of the current SOCKS reply part still to come
    uint8_t got = 0;
    char reply[4] = {};
    Flow flow[2];
    Endpoint destination;
    uint64_t deadline = 0;
    Link all;
    Link handshake;  // in deadline order: every connection gets the same bound
};

template <Link Connection::*L>
class List {
public:
    Connection* front() const { return head_; }
    bool empty() const { return head_ == nullptr; }
    void push_back(Connection* c) {
        (c->*L).prev = tail_;
        (c->*L).next = nullptr;
        if (tail_)
            (tail_->*L).next = c;
        else
            head_ = c;
        tail_ = c;
    }
    void erase(Connection* c) {
        Link& link = c->*L;
        if (link.prev)
            (link.prev->*L).next = link.next;
        else if (head_ == c)
            head_ = link.next;
        else
            return;  // not in the list
        if (link.next)
            (link.next->*L).prev = link.prev;
        else
            tail_ = link.prev;
        link = Link{};
    }

private:
    Connection* head_ = nullptr;
    Connection* tail_ = nullptr;
};

uint64_t token_of(Connection* c, int side) {
    return reinterpret_cast<uintptr_t>(c) | static_cast<uint64_t>(side);
}

}  // namespace

struct IoLoop;

// Shared by the I/O threads and the runtime handle.
struct RelayState {
    SocketApi& sockets;
    RedirectContext& context;
    Endpoint upstream;
    SocketHandle listener = kNoSocket;  // owned by the first I/O thread
    std::atomic<bool> stop{false};
    std::atomic<size_t> live{0};
    std::vector<std::unique_ptr<IoLoop>> loops;

    RelayState(SocketApi& s, RedirectContext& c, const Endpoint& u)
        : sockets(s), context(c), upstream(u) {}
};

// One I/O thread: its poller, its connections and its buffers. Connections accepted by the first
// thread for another arrive through the inbox.
struct IoLoop {
    RelayState& state;
    SocketApi& sockets;
    std::unique_ptr<SocketPoller> poller;
    std::thread thread;

    std::mutex inbox_mutex;
    std::vector<SocketHandle> inbox;
    std::atomic<bool> inbox_filled{false};

    // Touched by the owning thread only.
    List<&Connection::all> connections;
    List<&Connection::handshake> handshakes;
    std::vector<BufferPtr> pool;
    std::vector<std::unique_ptr<Connection>>
        dead;  // freed once the current batch of events is done
    bool listening = false;
    uint64_t listener_rests_until = 0;
    size_t next_loop = 0;

    IoLoop(RelayState& s, std::unique_ptr<SocketPoller> p)
        : state(s), sockets(s.sockets), poller(std::move(p)) {}

    void run();
    void hand_over(SocketHandle app);
    void accept_pending();
    void begin(SocketHandle app);
    void on_event(Connection& c, int side, bool readable, bool writable);
    void advance_handshake(Connection& c);
    // Acts on one complete reply of the engine's SOCKS5 exchange; whether to read on.
    bool take_reply(Connection& c);
    void start_relaying(Connection& c);
    void pump(Connection& c, int from);
    void flush(Connection& c, int to);
    void settle(Connection& c);
    bool update_interest(Connection& c, int side, unsigned wanted);
    void close_connection(Connection& c);
    void take_inbox();
    void close_everything();
    uint32_t wait_budget(uint64_t now) const;

    BufferPtr take_buffer() {
        if (pool.empty()) return sockets.make_relay_buffer(kRelayBuffer);
        BufferPtr b = std::move(pool.back());
        pool.pop_back();
        return b;
    }
    // Only empty buffers come back: bytes of one connection never reach another.
    void give_buffer(BufferPtr b) {
        if (pool.size() < kPooledBuffers) pool.push_back(std::move(b));
    }
};

namespace {

bool send_exact(SocketApi& sockets, SocketHandle s, const std::string& bytes) {
    // A few bytes on a fresh connection: they fit its send buffer at once or the peer is broken.
    return sockets.send(s, bytes.data(), bytes.size()) == static_cast<long>(bytes.size());
}

}  // namespace

void IoLoop::run() {
    if (this == state.loops.front().get() && state.listener != kNoSocket) {
        listening = poller->add(state.listener, kListenerToken, kWantRead);
    }
    std::vector<SocketPoller::Event> events;
    while (!state.stop.load(std::memory_order_acquire)) {
        uint64_t now = poller->now_ms();
        while (!handshakes.empty() && handshakes.front()->deadline <= now)
            close_connection(*handshakes.front());
        if (!listening && listener_rests_until != 0 && now >= listener_rests_until) {
            listener_rests_until = 0;
            listening = poller->add(state.listener, kListenerToken, kWantRead);
        }
        dead.clear();
        if (!poller->wait(wait_budget(now), events)) break;
        if (inbox_filled.load(std::memory_order_acquire)) take_inbox();
        for (const SocketPoller::Event& e : events) {
            if (e.token == kListenerToken) {
                if (listening) accept_pending();
                continue;
            }
            auto* c = reinterpret_cast<Connection*>(static_cast<uintptr_t>(e.token & ~uint64_t{1}));
            if (!c->closed) on_event(*c, static_cast<int>(e.token & 1), e.readable, e.writable);
        }
    }
    close_everything();
}

uint32_t IoLoop::wait_budget(uint64_t now) const {
    uint64_t until = now + kIdleWaitMs;
    if (!handshakes.empty()) until = std::min(until, handshakes.front()->deadline);
    if (listener_rests_until != 0) until = std::min(until, listener_rests_until);
    return static_cast<uint32_t>(until > now ? until - now : 0);
}

void IoLoop::accept_pending() {
    for (int i = 0; i < kAcceptBatch; ++i) {
        auto app = sockets.accept(state.listener);
        if (app) {
            hand_over(*app);
            continue;
        }
        const AcceptStatus status = app.failure().status;
        if (status == AcceptStatus::none_pending) return;
        poller->remove(state.listener);
        listening = false;
        if (status == AcceptStatus::out_of_resources) {
            listener_rests_until = poller->now_ms() + kAcceptRestMs;
        } else {
            // The listener itself failed: no further connections; the live ones go on.
            sockets.close(state.listener);
            state.listener = kNoSocket;
        }
        return;
    }
}

// Spreads connections over the I/O threads in turn.
void IoLoop::hand_over(SocketHandle app) {
    IoLoop& target = *state.loops[next_loop++ % state.loops.size()];
    if (&target == this) {
        begin(app);
        return;
    }
    {
        std::lock_guard lock(target.inbox_mutex);
        target.inbox.push_back(app);
    }
    target.inbox_filled.store(true, std::memory_order_release);
    target.poller->wake();
}

void IoLoop::take_inbox() {
    std::vector<SocketHandle> arrived;
    {
        std::lock_guard lock(inbox_mutex);
        arrived.swap(inbox);
        inbox_filled.store(false, std::memory_order_relaxed);
    }
    for (SocketHandle app : arrived) begin(app);
}

void IoLoop::begin(SocketHandle app) {
    // The redirect context is read once, before anything else happens on the connection.
    auto context = state.context.query(app);
    if (!context || context->size() > kContextLimit) {
        sockets.close(app);
        return;
    }
    auto destination = decode_redirect_context(*context);
    if (!destination) {
        sockets.close(app);
        return;
    }
    auto upstream = sockets.start_connect(state.upstream);
    if (!upstream) {
        sockets.close(app);
        return;
    }
    auto owned = std::make_unique<Connection>();
    Connection& c = *owned.release();
    c.socket[kApp] = app;
    c.socket[kUpstream] = *upstream;
    c.destination = *destination;
    c.deadline = poller->now_ms() + kUpstreamTimeoutMs;
    connections.push_back(&c);
    handshakes.push_back(&c);
    state.live.fetch_add(1, std::memory_order_relaxed);
    if (!update_interest(c, kUpstream, kWantWrite)) close_connection(c);
}

void IoLoop::on_event(Connection& c, int side, bool readable, bool writable) {
    if (c.phase != Phase::relaying) {
        if (side == kUpstream && (readable || writable)) advance_handshake(c);
        return;
    }
    // Sending what waits first frees its buffer; the flush then reads on from the source.
    if (writable && c.flow[1 - side].pending) flush(c, side);
    if (!c.closed && readable && !c.flow[side].pending && !c.flow[side].finished) pump(c, side);
    if (!c.closed) settle(c);
}

void IoLoop::advance_handshake(Connection& c) {
    SocketHandle s = c.socket[kUpstream];
    if (c.phase == Phase::connecting) {
        if (!sockets.connection_result(s) || !send_exact(sockets, s, std::string{5, 1, 0})) {
            close_connection(c);
            return;
        }
        c.phase = Phase::method_reply;
        c.need = 2;
        c.got = 0;
        if (!update_interest(c, kUpstream, kWantRead)) close_connection(c);
        return;
    }
    for (;;) {
        // Exactly the reply's bytes: whatever the engine sends after it belongs to the application.
        long n;
        if (c.phase == Phase::bound_address) {
            char discard[258];
            n = sockets.receive(s, discard, c.need);
            if (n > 0) c.need = static_cast<uint16_t>(c.need - n);
        } else {
            n = sockets.receive(s, c.reply + c.got, c.need - c.got);
            if (n > 0) c.got = static_cast<uint8_t>(c.got + n);
        }
        if (n == kWouldBlock) return;
        if (n <= 0) {
            close_connection(c);
            return;
        }
        if (c.phase == Phase::bound_address ? c.need > 0 : c.got < c.need) continue;
        if (!take_reply(c)) return;
    }
}

bool IoLoop::take_reply(Connection& c) {
    switch (c.phase) {
        case Phase::method_reply:
            if (c.reply[0] != 5 || c.reply[1] != 0 ||
                !send_exact(sockets, c.socket[kUpstream], socks5_connect_request(c.destination))) {
                close_connection(c);
                return false;
            }
            c.phase = Phase::connect_reply;
            c.need = 4;
            c.got = 0;
            return true;
        case Phase::connect_reply:
            if (c.reply[0] != 5 || c.reply[1] != 0) {
                close_connection(c);
                return false;
            }
            if (c.reply[3] == 1 || c.reply[3] == 4) {
                c.phase = Phase::bound_address;
                c.need = c.reply[3] == 1 ? 6 : 18;
            } else if (c.reply[3] == 3) {
                c.phase = Phase::bound_length;
                c.need = 1;
                c.got = 0;
            } else {
                close_connection(c);
                return false;
            }
            return true;
        case Phase::bound_length:
            c.phase = Phase::bound_address;
            c.need = static_cast<uint16_t>(static_cast<uint8_t>(c.reply[0]) + 2);
            return true;
        case Phase::bound_address:
            start_relaying(c);
            return false;
        default:
            return false;
    }
}

void IoLoop::start_relaying(Connection& c) {
    handshakes.erase(&c);
    c.phase = Phase::relaying;
    settle(c);
    // The application may have sent before the exchange was done: its bytes wait in the socket and
    // readiness reports them.
}

// Receives from one side and sends on to the other until the source runs dry, the sink is full
// or the budget is spent.
void IoLoop::pump(Connection& c, int from) {
    Flow& f = c.flow[from];
    SocketHandle source = c.socket[from];
    SocketHandle sink = c.socket[1 - from];
    for (int i = 0; i < kReadsPerEvent; ++i) {
        BufferPtr buffer = take_buffer();
        long n = buffer->fill(source, kRelayBuffer);
        if (n == kWouldBlock) {
            give_buffer(std::move(buffer));
            return;
        }
        if (n == 0) {
            // Half-close passes on: the other side may still answer.
            give_buffer(std::move(buffer));
            sockets.shutdown_send(sink);
            f.finished = true;
            return;
        }
        if (n < 0) {
            give_buffer(std::move(buffer));
            close_connection(c);
            return;
        }
        long sent = buffer->drain(sink, static_cast<size_t>(n));
        if (sent == kSocketError) {
            close_connection(c);  // the buffer, not empty, goes with it
            return;
        }
        if (sent == kWouldBlock) sent = 0;
        if (sent < n) {
            f.pending = std::move(buffer);
            f.held = static_cast<uint32_t>(n - sent);
            return;
        }
        give_buffer(std::move(buffer));
        if (static_cast<size_t>(n) < kRelayBuffer) return;  // drained for now; readiness tells when more comes
    }
}

// Sends what waits for side `to`, then reads on from its source.
void IoLoop::flush(Connection& c, int to) {
    int from = 1 - to;
    Flow& f = c.flow[from];
    long sent = f.pending->drain(c.socket[to], f.held);
    if (sent == kSocketError) {
        close_connection(c);
        return;
    }
    if (sent == kWouldBlock) return;
    f.held -= static_cast<uint32_t>(sent);
    if (f.held > 0) return;
    give_buffer(std::move(f.pending));
    if (!f.finished) pump(c, from);
}

// Brings both sockets' interest in line with the flows, and ends a connection both of whose
// directions are done.
void IoLoop::settle(Connection& c) {
    if (c.flow[kApp].finished && c.flow[kUpstream].finished) {
        close_connection(c);
        return;
    }
    for (int side : {kApp, kUpstream}) {
        unsigned wanted = 0;
        if (!c.flow[side].finished && !c.flow[side].pending) wanted |= kWantRead;
        if (c.flow[1 - side].pending) wanted |= kWantWrite;
        if (!update_interest(c, side, wanted)) {
            close_connection(c);
            return;
        }
    }
}

bool IoLoop::update_interest(Connection& c, int side, unsigned wanted) {
    unsigned had = c.interest[side];
    if (had == wanted) return true;
    bool ok = true;
    if (wanted == 0) {
        poller->remove(c.socket[side]);
    } else if (had == 0) {
        ok = poller->add(c.socket[side], token_of(&c, side), wanted);
    } else {
        ok = poller->modify(c.socket[side], token_of(&c, side), wanted);
    }
    c.interest[side] = static_cast<uint8_t>(ok ? wanted : 0);
    return ok;
}

// Errors, refusals, timeouts and a stop all end here: both sides are closed.
void IoLoop::close_connection(Connection& c) {
    if (c.closed) return;
    c.closed = true;
    for (int side : {kApp, kUpstream}) {
        if (c.interest[side] != 0) poller->remove(c.socket[side]);
        c.interest[side] = 0;
        sockets.close(c.socket[side]);
        c.flow[side].pending.reset();  // never pooled: it may still hold this connection's bytes
    }
    connections.erase(&c);
    handshakes.erase(&c);
    dead.emplace_back(&c);
    state.live.fetch_sub(1, std::memory_order_relaxed);
}

void IoLoop::close_everything() {
    while (!connections.empty()) close_connection(*connections.front());
    dead.clear();
    if (this == state.loops.front().get() && state.listener != kNoSocket) {
        if (listening) poller->remove(state.listener);
        sockets.close(state.listener);
        state.listener = kNoSocket;
    }
}

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
    request.append(reinterpret_cast<const char*>(destination.address.data()),
                   destination.ipv6 ? 16 : 4);
    request += static_cast<char>(destination.port >> 8);
    request += static_cast<char>(destination.port & 0xFF);
    return request;
}

// Half the cores: the engine that carries the relayed bytes on, and the applications at both
// ends, need the others; a relay thread per core only makes them wait for a core.
size_t relay_io_threads() {
    size_t cores = std::thread::hardware_concurrency();
    return std::clamp<size_t>(cores / 2, 1, kMaxIoThreads);
}

SplitRuntime::SplitRuntime(std::shared_ptr<RelayState> state, uint16_t port)
    : state_(std::move(state)), port_(port) {}

SplitRuntime::~SplitRuntime() { stop_redirect_listener(*this); }

size_t SplitRuntime::active_connections() const {
    return state_->live.load(std::memory_order_relaxed);
}

size_t SplitRuntime::io_threads() const { return state_->loops.size(); }

Result<std::unique_ptr<SplitRuntime>> start_redirect_listener(SocketApi& sockets,
                                                              RedirectContext& context,
                                                              const Endpoint& upstream) {
    uint16_t port = 0;
    auto listener = sockets.listen_loopback(port);
    if (!listener) return listener.failure();
    auto state = std::make_shared<RelayState>(sockets, context, upstream);
    state->listener = *listener;
    for (size_t i = 0; i < relay_io_threads(); ++i) {
        auto poller = sockets.make_poller();
        if (!poller) {
            if (state->loops.empty()) {
                sockets.close(*listener);
                return fail("could not start split redirect listener: " + poller.error());
            }
            break;  // fewer threads serve as well
        }
        state->loops.push_back(std::make_unique<IoLoop>(*state, std::move(*poller)));
    }
    // The runtime handle stops whatever threads did start, should a later one fail.
    auto runtime = std::make_unique<SplitRuntime>(state, port);
    for (auto& loop : state->loops) {
        try {
            loop->thread = std::thread([&l = *loop] { l.run(); });
        } catch (const std::system_error& e) {
            bool none_started = loop == state->loops.front();
            runtime.reset();
            if (none_started) sockets.close(*listener);  // else the first thread closed it
            return fail(std::string("could not start split redirect listener: ") + e.what());
        }
    }
    return runtime;
}

void stop_redirect_listener(SplitRuntime& runtime) {
    RelayState& state = *runtime.state_;
    state.stop.store(true, std::memory_order_release);
    for (auto& loop : state.loops) loop->poller->wake();
    // Each thread closes its connections as it leaves, so the join is bounded by one turn of its
    // loop.
    for (auto& loop : state.loops) {
        if (loop->thread.joinable()) loop->thread.join();
    }
    for (auto& loop : state.loops) {
        std::lock_guard lock(loop->inbox_mutex);
        for (SocketHandle app : loop->inbox) state.sockets.close(app);
        loop->inbox.clear();
    }
}

}  // namespace vorn
