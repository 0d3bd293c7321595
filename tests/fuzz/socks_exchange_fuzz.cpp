// One redirected connection through the relay's own I/O loop, on sockets that do what the input
// says: the redirect context, what the engine answers in the SOCKS5 exchange and sends after it,
// what the application sends, where reads and sends stop short, would block or fail, and when
// time passes. The relay must ask the engine for exactly the original destination, relay nothing
// unless the engine's reply is good, relay everything when it is, and close every socket.
//
// Input: flags, then the context, the engine's stream and the application's stream (each a
// 16-bit little-endian length and its bytes), then one decision byte per call that needs one.

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>

#include "fuzz_check.h"
#include "split_tunnel/redirect_proxy.h"

namespace {

using namespace vorn;

constexpr SocketHandle kListener = 11;
constexpr SocketHandle kApp = 12;
constexpr SocketHandle kUpstream = 13;

enum : uint8_t {
    kQueryFails = 1,
    kConnectFails = 2,
    kConnectionRefused = 4,
    kTemplatedHead = 8,  // the engine's stream starts with a good method reply and reply head
    kEngineEnds = 16,    // the engine's stream ends with end of stream (else it stays open)
    kAppEnds = 32,
};

// Quiet turns in a row after which the connection is taken to have settled: more than the
// relay's bound on the SOCKS exchange at its one-second idle wait.
constexpr int kSettledAfterIdleWaits = 16;
constexpr int kMostWaits = 1 << 20;
// The relay's bound on reaching the engine and the SOCKS exchange.
constexpr uint64_t kExchangeBoundMs = 5000;

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ == size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string counted() {
        size_t n = byte();
        n |= size_t{byte()} << 8;
        n = std::min(n, size_ - at_);
        std::string s(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return s;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The engine's stream read as RFC 1928 has it: the method reply, then the CONNECT reply with its
// bound address.
enum class Reply { incomplete, refused, good };
struct Verdict {
    Reply reply = Reply::incomplete;
    size_t length = 0;  // of a good reply
};

Verdict judge(const std::string& s) {
    auto at = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    if (s.size() < 2) return {};
    if (at(0) != 5 || at(1) != 0) return {Reply::refused};
    if (s.size() < 6) return {};
    if (at(2) != 5 || at(3) != 0) return {Reply::refused};
    size_t length;
    if (at(5) == 1) {
        length = 6 + 4 + 2;
    } else if (at(5) == 4) {
        length = 6 + 16 + 2;
    } else if (at(5) == 3) {
        if (s.size() < 7) return {};
        length = 7 + at(6) + 2;
    } else {
        return {Reply::refused};
    }
    if (s.size() < length) return {};
    return {Reply::good, length};
}

// The CONNECT request that names the context's destination, or nothing for a context that names
// none.
std::optional<std::string> connect_request_for(const std::string& ctx) {
    if (ctx.size() < 8 || ctx.size() > 4096 || ctx[1] != 0) return std::nullopt;
    std::string port = ctx.substr(2, 2);
    if (ctx[0] == 2) return std::string("\x05\x01\x00\x01", 4) + ctx.substr(4, 4) + port;
    if (ctx[0] == 23 && ctx.size() >= 24)
        return std::string("\x05\x01\x00\x04", 4) + ctx.substr(8, 16) + port;
    return std::nullopt;
}

const std::string kGreeting("\x05\x01\x00", 3);

struct Peer {
    std::string stream;  // what it sends, all of it
    bool ends = false;   // its stream ends with end of stream
    size_t handed = 0;   // bytes of the stream received so far
    std::string got;     // what was sent to it
    bool opened = false;
    bool closed = false;
    bool shut = false;  // its sending half was shut down
};

// The sockets of one connection and a level-triggered poller over them; everything runs on the
// relay's one I/O thread, the fuzzer's thread only waits for the end.
class ScriptedSockets : public SocketApi, public SocketPoller {
public:
    ScriptedSockets(Input& in, uint8_t flags, std::string context, std::string engine,
                    std::string app)
        : in_(in),
          flags_(flags),
          context_(std::move(context)),
          connect_(connect_request_for(context_)) {
        if (flags & kTemplatedHead) engine.insert(0, std::string("\x05\x00\x05\x00\x00", 5));
        peer_[0].stream = std::move(app);
        peer_[0].ends = flags & kAppEnds;
        peer_[1].stream = std::move(engine);
        peer_[1].ends = flags & kEngineEnds;
        verdict_ = judge(peer_[1].stream);
    }

    const std::string& context() const { return context_; }
    bool query_fails() const { return flags_ & kQueryFails; }
    void wait_until_settled() {
        std::unique_lock lock(mutex_);
        settled_cv_.wait(lock, [&] { return settled_; });
    }
    void check_after_stop();

    // SocketApi
    Result<SocketHandle> listen_loopback(uint16_t& port) override {
        if (listener_opened_) unexpected("listen_loopback", kNoSocket);
        listener_opened_ = true;
        port = 50123;
        return kListener;
    }
    Result<SocketHandle, AcceptFailure> accept(SocketHandle s) override {
        if (s != kListener || listener_closed_) unexpected("accept", s);
        if (peer_[0].opened) return AcceptFailure{{}, AcceptStatus::none_pending};
        peer_[0].opened = true;
        return kApp;
    }
    Result<SocketHandle> start_connect(const Endpoint& to) override {
        FUZZ_CHECK(peer_[0].opened && !peer_[0].closed && !peer_[1].opened);
        FUZZ_CHECK(!to.ipv6 && to.address[0] == 127 && to.address[3] == 1 && to.port == 18082);
        // Only a context that names a destination leads to the engine.
        FUZZ_CHECK(!query_fails() && connect_);
        if (flags_ & kConnectFails) return fail("no engine");
        peer_[1].opened = true;
        connected_at_ = now_;
        return kUpstream;
    }
    Status connection_result(SocketHandle s) override {
        if (s != kUpstream) unexpected("connection_result", s);
        live(s, "connection_result");
        if (flags_ & kConnectionRefused) {
            errored_ = true;
            return fail("refused");
        }
        return {};
    }
    long receive(SocketHandle s, char* buffer, size_t size) override {
        Peer& p = live(s, "receive");
        FUZZ_CHECK(size > 0);
        // The application is read only once the engine has taken the connection.
        if (s == kApp) FUZZ_CHECK(reply_taken());
        if (p.handed == p.stream.size()) {
            if (s == kUpstream && p.ends && !reply_taken()) cut_short_ = true;
            return p.ends ? 0 : kWouldBlock;
        }
        size_t n = std::min(size, p.stream.size() - p.handed);
        if (!in_.empty()) {
            uint8_t d = in_.byte();
            if ((d & 7) == 0) return kWouldBlock;
            if ((d & 7) == 1) {
                errored_ = true;
                return kSocketError;
            }
            if ((d & 7) != 7) n = std::min<size_t>(n, (d >> 3) + 1);
        }
        std::copy_n(p.stream.data() + p.handed, n, buffer);
        // Bytes that were not handed out look like a good reply: a relay that took them would
        // go on too early.
        for (size_t i = n; i < std::min<size_t>(size, 32); ++i) buffer[i] = (i - n) % 2 ? 0 : 5;
        p.handed += n;
        return static_cast<long>(n);
    }
    long send(SocketHandle s, const char* data, size_t size) override {
        Peer& p = live(s, "send");
        FUZZ_CHECK(!p.shut);
        if (size == 0) return 0;
        size_t n = size;
        if (!in_.empty()) {
            uint8_t d = in_.byte();
            if ((d & 7) == 0) n = 0;
            if ((d & 7) == 1) {
                errored_ = true;
                return kSocketError;
            }
            if ((d & 7) > 1 && (d & 7) < 6 && size > 1)
                n = std::min<size_t>(size - 1, (d >> 3) + 1);
        }
        // The exchange's few bytes are expected to go at once.
        if (s == kUpstream && n < size && !reply_taken()) cut_short_ = true;
        if (n == 0) return kWouldBlock;
        std::string bytes(data, n);
        if (s == kUpstream) {
            // The greeting, then the CONNECT once the method is accepted, then the application's
            // bytes once the whole reply is taken: each exactly as it should be.
            std::string expected =
                kGreeting + *connect_ + peer_[0].stream.substr(0, peer_[0].handed);
            FUZZ_CHECK(expected.compare(p.got.size(), n, bytes) == 0);
            if (p.got.size() + n > kGreeting.size()) FUZZ_CHECK(method_taken());
            if (p.got.size() + n > kGreeting.size() + connect_->size()) FUZZ_CHECK(reply_taken());
        } else {
            // Only what the engine sent after its reply, in order.
            FUZZ_CHECK(reply_taken());
            std::string after =
                peer_[1].stream.substr(verdict_.length, peer_[1].handed - verdict_.length);
            FUZZ_CHECK(after.compare(p.got.size(), n, bytes) == 0);
        }
        p.got += bytes;
        return static_cast<long>(n);
    }
    void shutdown_send(SocketHandle s) override {
        Peer& p = live(s, "shutdown_send");
        FUZZ_CHECK(!p.shut);
        p.shut = true;
    }
    void close(SocketHandle s) override {
        FUZZ_CHECK(registered_.count(s) == 0);  // leaves the poller first
        if (s == kListener) {
            if (!listener_opened_ || listener_closed_) unexpected("close", s);
            listener_closed_ = true;
            return;
        }
        Peer& p = live(s, "close");
        if (peer_[1].opened && !peer_[1].closed && !reply_taken() && !settled_) {
            // An exchange that is going well ends only at its bound.
            bool refused =
                judge(peer_[1].stream.substr(0, peer_[1].handed)).reply == Reply::refused;
            FUZZ_CHECK(errored_ || cut_short_ || refused ||
                       now_ >= connected_at_ + kExchangeBoundMs);
        }
        p.closed = true;
    }
    Result<std::unique_ptr<SocketPoller>> make_poller() override {
        // One I/O thread, so that the run is the same every time.
        if (poller_made_) return fail("one poller only");
        poller_made_ = true;
        return std::unique_ptr<SocketPoller>(std::make_unique<PollerView>(*this));
    }

    // SocketPoller
    bool add(SocketHandle s, uint64_t token, unsigned interest) override {
        if (registered_.count(s) || interest == 0) unexpected("add", s);
        if (s != kListener) live(s, "add");
        registered_[s] = {token, interest};
        return true;
    }
    bool modify(SocketHandle s, uint64_t token, unsigned interest) override {
        if (!registered_.count(s) || interest == 0) unexpected("modify", s);
        registered_[s] = {token, interest};
        return true;
    }
    void remove(SocketHandle s) override {
        if (!registered_.erase(s)) unexpected("remove", s);
    }
    bool wait(uint32_t timeout_ms, std::vector<Event>& events) override;
    void wake() override {}
    uint64_t now_ms() override { return now_; }

private:
    // The relay owns its poller; the sockets outlive it.
    class PollerView : public SocketPoller {
    public:
        explicit PollerView(ScriptedSockets& s) : s_(s) {}
        bool add(SocketHandle s, uint64_t t, unsigned i) override { return s_.add(s, t, i); }
        bool modify(SocketHandle s, uint64_t t, unsigned i) override { return s_.modify(s, t, i); }
        void remove(SocketHandle s) override { s_.remove(s); }
        bool wait(uint32_t ms, std::vector<Event>& e) override { return s_.wait(ms, e); }
        void wake() override {}
        uint64_t now_ms() override { return s_.now_ms(); }

    private:
        ScriptedSockets& s_;
    };

    struct Registration {
        uint64_t token;
        unsigned interest;
    };

    [[noreturn]] static void unexpected(const char* call, SocketHandle s) {
        std::fprintf(stderr, "ScriptedSockets: unexpected call %s on socket %lld\n", call,
                     static_cast<long long>(s));
        std::abort();
    }
    // The peer behind a socket that is open; any other socket is a fault.
    Peer& live(SocketHandle s, const char* call) {
        Peer* p = s == kApp ? &peer_[0] : s == kUpstream ? &peer_[1] : nullptr;
        if (!p || !p->opened || p->closed) unexpected(call, s);
        return *p;
    }
    bool method_taken() const {
        return peer_[1].handed >= 2 &&
               peer_[1].stream.compare(0, 2, std::string("\x05\x00", 2)) == 0;
    }
    bool reply_taken() const {
        return verdict_.reply == Reply::good && peer_[1].handed >= verdict_.length;
    }
    bool readable(SocketHandle s) const {
        if (s == kListener) return !peer_[0].opened;
        const Peer& p = s == kApp ? peer_[0] : peer_[1];
        return p.handed < p.stream.size() || p.ends;
    }

    Input& in_;
    uint8_t flags_;
    std::string context_;
    std::optional<std::string> connect_;
    Verdict verdict_;
    Peer peer_[2];  // the application, the engine
    bool listener_opened_ = false;
    bool listener_closed_ = false;
    bool poller_made_ = false;
    bool errored_ = false;  // some call failed as the input said
    // The engine ended, or a handshake message did not go at once, mid-exchange.
    bool cut_short_ = false;
    uint64_t connected_at_ = 0;
    std::map<SocketHandle, Registration> registered_;
    uint64_t now_ = 1000;
    int waits_ = 0;
    int idle_ = 0;
    // The state when the loop was last asked to wait, before the stop closes what is left.
    bool settled_open_[2] = {false, false};

    std::mutex mutex_;
    std::condition_variable settled_cv_;
    bool settled_ = false;
};

bool ScriptedSockets::wait(uint32_t timeout_ms, std::vector<Event>& events) {
    events.clear();
    FUZZ_CHECK(++waits_ < kMostWaits);  // the relay does not spin
    // An exchange past its bound was ended before the wait.
    if (peer_[1].opened && !peer_[1].closed && !reply_taken())
        FUZZ_CHECK(now_ < connected_at_ + kExchangeBoundMs);
    std::vector<Event> ready;
    for (const auto& [s, r] : registered_) {
        bool read = (r.interest & kWantRead) && readable(s);
        bool write = r.interest & kWantWrite;  // sends decide for themselves
        if (read || write) ready.push_back({r.token, read, write});
    }
    bool scripted = !in_.empty();
    uint8_t d = in_.byte();
    if (scripted) {
        // Time passes; some of the ready sockets are reported, in either order.
        if (d & 0x80) now_ += (d & 0x3F) * 100u;
        if (d & 1) std::reverse(ready.begin(), ready.end());
        if ((d & 6) == 2 && ready.size() > 1) ready.resize(1);
        if ((d & 6) == 4) ready.clear();
    }
    if (ready.empty()) {
        now_ += timeout_ms;
        if (!scripted && ++idle_ >= kSettledAfterIdleWaits) {
            for (int i = 0; i < 2; ++i) settled_open_[i] = peer_[i].opened && !peer_[i].closed;
            std::lock_guard lock(mutex_);
            settled_ = true;
            settled_cv_.notify_all();
            return false;  // the loop leaves and closes what it holds
        }
        return true;
    }
    idle_ = 0;
    events = std::move(ready);
    return true;
}

void ScriptedSockets::check_after_stop() {
    FUZZ_CHECK(registered_.empty());
    FUZZ_CHECK(listener_opened_ && listener_closed_);
    // The pending connection was taken, and every socket handed to the relay is closed.
    FUZZ_CHECK(peer_[0].opened);
    for (const Peer& p : peer_) FUZZ_CHECK(!p.opened || p.closed);
    FUZZ_CHECK(peer_[1].opened == (!query_fails() && connect_ && !(flags_ & kConnectFails)));
    if (!reply_taken()) {
        // Refused, malformed, cut short or never finished: both closed by the relay itself,
        // nothing relayed either way.
        FUZZ_CHECK(!settled_open_[0] && !settled_open_[1]);
        FUZZ_CHECK(peer_[0].got.empty());
        return;
    }
    if (errored_) return;
    // A good reply, however it was cut up, leads to relaying everything both ways; each end of
    // stream is passed on, and both together end the connection.
    FUZZ_CHECK(peer_[0].got == peer_[1].stream.substr(verdict_.length));
    FUZZ_CHECK(peer_[1].got == kGreeting + *connect_ + peer_[0].stream);
    FUZZ_CHECK(peer_[0].shut == peer_[1].ends);
    FUZZ_CHECK(peer_[1].shut == peer_[0].ends);
    bool both_ended = peer_[0].ends && peer_[1].ends;
    FUZZ_CHECK(settled_open_[0] == !both_ended && settled_open_[1] == !both_ended);
}

class ScriptedContext : public RedirectContext {
public:
    explicit ScriptedContext(const ScriptedSockets& s) : s_(s) {}
    Result<std::string> query(SocketHandle accepted) override {
        FUZZ_CHECK(accepted == kApp && !queried_);
        queried_ = true;
        if (s_.query_fails()) return fail("no redirect context");
        return s_.context();
    }

private:
    const ScriptedSockets& s_;
    bool queried_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    uint8_t flags = in.byte();
    std::string context = in.counted();
    std::string engine = in.counted();
    std::string app = in.counted();
    ScriptedSockets sockets(in, flags, std::move(context), std::move(engine), std::move(app));
    ScriptedContext redirect(sockets);
    Endpoint upstream;
    upstream.address = {127, 0, 0, 1};
    upstream.port = 18082;
    auto runtime = start_redirect_listener(sockets, redirect, upstream);
    FUZZ_CHECK(runtime.ok());
    sockets.wait_until_settled();
    runtime->reset();  // stops and joins the I/O thread
    sockets.check_after_stop();
    return 0;
}
