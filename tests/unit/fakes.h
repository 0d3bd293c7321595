#pragma once
// Fakes for the platform ports: scripted tools, a fixed environment, a clock that only counts.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/files.h"
#include "fake_file_security.h"
#include "platform/platform.h"
#include "platform/split_driver_protocol.h"
#include "split_tunnel/firewall.h"
#include "fake_request_files.h"

namespace vorn::testing {

struct ToolCall {
    std::string program;
    std::vector<std::string> args;
    ToolStdio stdio;

    std::string text() const {
        std::string t = program;
        for (const auto& a : args) t += " " + a;
        return t;
    }
};

// A call no script answers: reported (in the unit tests, a failure of the test), then refused
// with `refusal`.
template <class T>
T refused(const std::string& call, T refusal) {
    report_unscripted(call);
    return refusal;
}
inline Failure unscripted(const std::string& call) { return refused(call, fail(call)); }
inline Result<ToolRun> unscripted_run(const ToolCall& call) { return unscripted("unscripted tool run: " + call.text()); }

// For a handler's last word: `commands` (by the start of their text) and the cleanup commands
// (the network restore's route deletes and netsh resets, an engine's taskkill) succeed quietly,
// as where they find nothing to undo; any other run is unscripted.
inline Result<ToolRun> quietly(const ToolCall& call, std::initializer_list<const char*> commands = {}) {
    const std::string text = call.text();
    auto listed = [&text](std::initializer_list<const char*> list) {
        for (const char* command : list) {
            if (text.rfind(command, 0) == 0) return true;
        }
        return false;
    };
    if (listed(commands) || listed({"route delete ", "taskkill /PID ", "netsh interface ip set address name=VornVPN dhcp",
                                    "netsh interface ip set dns name=VornVPN dhcp"})) {
        return ToolRun{0, "", ""};
    }
    return unscripted_run(call);
}
inline Result<ToolRun> cleanup_commands(const ToolCall& call) { return quietly(call); }

// Answers each tool run from a handler (none: every run is unscripted); records every call.
class FakeTools : public ToolRunner {
public:
    using Handler = std::function<Result<ToolRun>(const ToolCall&)>;

    Result<ToolRun> run(const std::string& program, const std::vector<std::string>& args,
                        ToolStdio stdio) override {
        calls.push_back({program, args, stdio});
        return handler ? handler(calls.back()) : unscripted_run(calls.back());
    }

    std::vector<std::string> call_texts() const {
        std::vector<std::string> out;
        for (const auto& c : calls) out.push_back(c.text());
        return out;
    }
    size_t count(const std::string& program) const {
        size_t n = 0;
        for (const auto& c : calls) n += c.program == program;
        return n;
    }

    Handler handler;
    std::vector<ToolCall> calls;
};

class FakeEnvironment : public Environment {
public:
    std::optional<std::string> variable(const std::string& name) override {
        auto it = variables.find(name);
        return it == variables.end() ? std::nullopt : std::optional(it->second);
    }
    std::optional<std::string> local_app_data() override { return app_data; }
    std::string temp_directory() override { return temp; }
    Result<std::string> executable_path() override {
        if (!exe) return fail("The system cannot find the file specified. (os error 2)");
        return *exe;
    }
    uint32_t current_process_id() override { return pid; }
    std::optional<uint64_t> file_write_time_ms(const std::string& path) override {
        return vorn::file_write_time_ms(path);
    }
    std::optional<std::string> windows_version() override {
        if (!windows) report_unscripted("unscripted look at the Windows version");
        return windows.value_or(std::nullopt);
    }

    std::map<std::string, std::string> variables;
    std::optional<std::string> app_data;
    std::string temp = "/tmp";
    std::optional<std::string> exe = std::string("C:\\Program Files\\Vorn\\vorn-tunnel-service.exe");
    uint32_t pid = 2216;
    // Unset: unscripted; set to nullopt: the system does not say.
    std::optional<std::optional<std::string>> windows;
};

// A child whose polls answer from a script: running until `exit_after_polls` polls were made,
// then exited with `exit_code` (or a poll error when `poll_error` is set).
// Ended through its handle, it reports exit code 1 from then on and its id is added to `ended`.
class FakeChild : public ChildProcess {
public:
    explicit FakeChild(uint32_t id = 4321, std::vector<uint32_t>* ended = nullptr) : id_(id), ended_(ended) {}
    uint32_t pid() const override { return id_; }
    Result<std::optional<uint32_t>> poll() override {
        ++polls;
        if (poll_error) return fail(*poll_error);
        if (terminated) return std::optional<uint32_t>(1);
        if (exit_after_polls >= 0 && polls > exit_after_polls) return std::optional<uint32_t>(exit_code);
        return std::optional<uint32_t>();
    }
    Status terminate() override {
        terminated = true;
        if (ended_) ended_->push_back(id_);
        return {};
    }
    int polls = 0;
    int exit_after_polls = -1;
    uint32_t exit_code = 0;
    std::optional<std::string> poll_error;
    bool terminated = false;

private:
    uint32_t id_;
    std::vector<uint32_t>* ended_;
};

// A running process as `open` finds it: running until the test sets its exit code.
struct OpenedScript {
    std::optional<uint32_t> exit_code;
    int polls = 0;
    bool terminated = false;
};

class OpenedChild : public ChildProcess {
public:
    OpenedChild(uint32_t id, std::shared_ptr<OpenedScript> script) : id_(id), script_(std::move(script)) {}
    uint32_t pid() const override { return id_; }
    Result<std::optional<uint32_t>> poll() override {
        ++script_->polls;
        return script_->exit_code;
    }
    Status terminate() override {
        script_->terminated = true;
        script_->exit_code = 1;
        return {};
    }

private:
    uint32_t id_;
    std::shared_ptr<OpenedScript> script_;
};

class FakeLauncher : public ProcessLauncher {
public:
    std::unique_ptr<ChildProcess> open(uint32_t pid) override {
        opened.push_back(pid);
        auto it = openable.find(pid);
        if (it == openable.end()) {
            report_unscripted("unscripted open of process " + std::to_string(pid));
            return nullptr;
        }
        if (!it->second) return nullptr;
        return std::make_unique<OpenedChild>(pid, it->second);
    }
    // Processes `open` finds, by id (null: gone); any other id is an unscripted call.
    std::map<uint32_t, std::shared_ptr<OpenedScript>> openable;
    std::vector<uint32_t> opened;

    Result<std::unique_ptr<ChildProcess>, LaunchFailure> launch(const LaunchRequest& request) override {
        requests.push_back(request);
        int number = static_cast<int>(requests.size());
        if (number > launches) {
            return LaunchFailure(LaunchStage::Start, unscripted("unscripted launch of " + request.executable).message);
        }
        if (next_failure && (fail_on_launch == 0 || fail_on_launch == number)) return *next_failure;
        auto child = std::make_unique<FakeChild>(next_pid++, &ended);
        if (exit_on_launch == 0 || exit_on_launch == number) {
            child->exit_after_polls = exit_after_polls;
            child->exit_code = exit_code;
        }
        return child;
    }
    std::optional<uint64_t> process_start_time_ms(uint32_t pid) override {
        auto it = start_times.find(pid);
        return it == start_times.end() ? std::nullopt : std::optional(it->second);
    }
    std::map<uint32_t, uint64_t> start_times;
    std::vector<LaunchRequest> requests;
    std::vector<uint32_t> ended;  // children ended through their handles, in order
    int launches = 0;  // launches the test expects; any further one is unscripted
    std::optional<LaunchFailure> next_failure;
    int fail_on_launch = 0;  // 1-based launch the failure applies to; 0: every launch
    uint32_t next_pid = 4321;  // ids are handed out in launch order
    int exit_after_polls = -1;
    uint32_t exit_code = 0;
    int exit_on_launch = 0;
};

// Accepts connections from the `accept_from`-th attempt on (1-based; 0 never; unset: unscripted).
class FakeNetwork : public Network {
public:
    bool tcp_connect(const std::string& host, uint16_t port) override {
        attempts.push_back(host + ":" + std::to_string(port));
        if (!accept_from) return refused("unscripted connection to " + attempts.back(), false);
        return *accept_from != 0 && static_cast<int>(attempts.size()) >= *accept_from;
    }
    std::optional<std::string> resolve_ipv4(const std::string& host) override {
        lookups.push_back(host);
        auto it = dns.find(host);
        if (it == dns.end()) return refused("unscripted lookup of " + host, std::optional<std::string>());
        return it->second;
    }
    Result<std::vector<uint32_t>> tcp_listener_pids(uint16_t port) override {
        listener_queries.push_back(port);
        if (listener_error) return fail(*listener_error);
        auto it = listeners.find(port);
        if (it == listeners.end() && !other_ports_free) return unscripted("unscripted look at port " + std::to_string(port));
        if (it == listeners.end() || it->second.empty()) return std::vector<uint32_t>{};
        std::vector<uint32_t> answer = it->second.front();
        if (it->second.size() > 1) it->second.pop_front();
        return answer;
    }
    bool routes_may_have_changed() override {
        ++route_change_looks;
        if (route_changes.empty()) {
            if (!routes_quiet) report_unscripted("unscripted look at route changes");
            return false;
        }
        bool changed = route_changes.front();
        route_changes.pop_front();
        return changed;
    }
    // Answers of the route-change looks; once they run out, "no change" when `routes_quiet`,
    // else an unscripted call.
    std::deque<bool> route_changes;
    bool routes_quiet = false;
    int route_change_looks = 0;
    std::optional<int> accept_from;
    // Per port, the owners each query lists, the last answer repeating; ports not listed are
    // free when `other_ports_free`, else unscripted.
    std::map<uint16_t, std::deque<std::vector<uint32_t>>> listeners;
    bool other_ports_free = false;
    std::optional<std::string> listener_error;
    std::vector<uint16_t> listener_queries;
    std::vector<std::string> attempts;
    std::map<std::string, std::optional<std::string>> dns;  // absent: no answer; unlisted: unscripted
    std::vector<std::string> lookups;
};

class FakeModule : public LoadedModule {
public:
    explicit FakeModule(std::vector<std::string> exports, int* live) : exports_(std::move(exports)), live_(live) {
        ++*live_;
    }
    ~FakeModule() override { --*live_; }
    Result<void*, SystemFailure> find_export(const std::string& name) override {
        for (size_t i = 0; i < exports_.size(); ++i) {
            if (exports_[i] == name) return reinterpret_cast<void*>(0x1000 + i);
        }
        return system_failure(127, "not found");  // ERROR_PROC_NOT_FOUND
    }

private:
    std::vector<std::string> exports_;
    int* live_;
};

class FakeDllLoader : public DllLoader {
public:
    Result<std::unique_ptr<LoadedModule>, SystemFailure> load(const std::string& path) override {
        loaded.push_back(path);
        if (!load_error) report_unscripted("unscripted load of " + path);
        if (load_error.value_or(126) != 0) return system_failure(load_error.value_or(126), "load failed");
        return std::make_unique<FakeModule>(exports, &live_modules);
    }
    std::vector<std::string> loaded;
    std::optional<uint32_t> load_error;  // 0: loads; unset: unscripted
    std::vector<std::string> exports = {"WintunCreateAdapter", "WintunOpenAdapter", "WintunCloseAdapter",
                                        "WintunDeleteDriver"};
    int live_modules = 0;
};

// What removing the product's WFP objects asks of the engine: open, begin, 256 filter deletes,
// the sublayer's and the provider's, commit, close.
inline constexpr size_t kWfpRemovalCalls = 262;

// A filtering engine that keeps the product's objects and honours transactions. Every call is
// recorded as text ("filter <data1>/<key byte 6>/<key byte 7>" for a delete, "add filter ...",
// "begin", "commit", "abort", "find ...", "close"); `installed` holds the committed filters.
class FakeWfp : public Wfp {
public:
    struct Objects {
        bool provider = false;
        bool sublayer = false;
        std::vector<WfpFilter> filters;
    };

    class Session : public WfpSession {
    public:
        explicit Session(FakeWfp& owner) : owner_(owner) {}
        ~Session() override {
            if (pending_) owner_.calls.push_back("abort");  // closing the engine aborts
            owner_.calls.push_back("close");
        }
        uint32_t delete_filter(const Guid& key) override {
            record("filter", key);
            auto& filters = objects().filters;
            auto it = std::find_if(filters.begin(), filters.end(), [&](const WfpFilter& f) { return f.key == key; });
            if (it == filters.end()) return 0x80320003;
            filters.erase(it);
            return 0;
        }
        uint32_t delete_sublayer(const Guid& key) override {
            record("sublayer", key);
            if (!objects().sublayer) return 0x80320007;
            if (!objects().filters.empty()) return 0x8032000A;
            objects().sublayer = false;
            return 0;
        }
        uint32_t delete_provider(const Guid& key) override {
            record("provider", key);
            if (!objects().provider) return 0x80320005;
            if (objects().sublayer) return 0x8032000A;
            objects().provider = false;
            return 0;
        }
        uint32_t begin_transaction() override {
            owner_.calls.push_back("begin");
            if (pending_) return 0x8032000E;
            pending_ = owner_.installed;
            return 0;
        }
        uint32_t commit_transaction() override {
            owner_.calls.push_back("commit");
            if (!pending_) return 0x8032000D;
            owner_.installed = std::move(*pending_);
            pending_.reset();
            ++owner_.commits;
            if (owner_.on_commit) owner_.on_commit();
            return 0;
        }
        uint32_t abort_transaction() override {
            owner_.calls.push_back("abort");
            if (!pending_) return 0x8032000D;
            pending_.reset();
            return 0;
        }
        uint32_t add_provider(const Guid& key, std::string_view) override {
            record("add provider", key);
            if (objects().provider) return 0x80320009;
            objects().provider = true;
            return 0;
        }
        uint32_t add_sublayer(const Guid& key, const Guid&, std::string_view, uint16_t) override {
            record("add sublayer", key);
            if (!objects().provider) return 0x80320005;
            if (objects().sublayer) return 0x80320009;
            objects().sublayer = true;
            return 0;
        }
        uint32_t add_filter(const WfpFilter& filter, const Guid&, const Guid&) override {
            record("add filter", filter.key);
            if (owner_.add_filter_status) return *owner_.add_filter_status;
            if (!objects().sublayer) return 0x80320007;
            objects().filters.push_back(filter);
            return 0;
        }
        uint32_t find(WfpObject kind, const Guid& key) override {
            record("find", key);
            const Objects& o = objects();
            switch (kind) {
                case WfpObject::Provider: return o.provider ? 0 : 0x80320005;
                case WfpObject::Sublayer: return o.sublayer ? 0 : 0x80320007;
                case WfpObject::Filter:
                    return std::any_of(o.filters.begin(), o.filters.end(), [&](const WfpFilter& f) { return f.key == key; })
                               ? 0
                               : 0x80320003;
            }
            return 0x80320008;
        }

    private:
        Objects& objects() { return pending_ ? *pending_ : owner_.installed; }
        void record(const char* what, const Guid& key) {
            owner_.calls.push_back(std::string(what) + " " + std::to_string(key.data1) + "/" +
                                   std::to_string(key.data4[6]) + "/" + std::to_string(key.data4[7]));
        }
        FakeWfp& owner_;
        std::optional<Objects> pending_;
    };

    Result<std::unique_ptr<WfpSession>, SystemFailure> open() override {
        calls.push_back("open");
        if (!open_status) report_unscripted("unscripted WFP engine open");
        if (open_status.value_or(5) != 0) return system_failure(open_status.value_or(5), "FwpmEngineOpen0 failed");
        return std::make_unique<Session>(*this);
    }
    // The path as UTF-16LE with its terminating NUL, as Windows gives an id (without the device
    // form); a path in `missing_files` is not found (status 2).
    Result<std::vector<uint8_t>, SystemFailure> app_id(const std::string& path) override {
        calls.push_back("app id " + path);
        // Asked only while a firewall is built, which needs the engine its test scripted.
        if (!open_status) report_unscripted("unscripted application id of " + path);
        if (std::find(missing_files.begin(), missing_files.end(), path) != missing_files.end()) {
            return system_failure(2, "FwpmGetAppIdFromFileName0 failed");
        }
        std::vector<uint8_t> id;
        for (char c : path + '\0') {
            id.push_back(static_cast<uint8_t>(c));
            id.push_back(0);
        }
        return id;
    }
    // The installed filters as describe_filter renders them, in the order added.
    std::vector<std::string> described() const;

    std::optional<uint32_t> open_status;  // 0: opens; unset: unscripted
    std::optional<uint32_t> add_filter_status;  // every filter add fails with it
    std::vector<std::string> missing_files;
    Objects installed;  // none of our objects until something installs them
    int commits = 0;
    std::function<void()> on_commit;
    std::vector<std::string> calls;
};

inline std::vector<std::string> FakeWfp::described() const {
    std::vector<std::string> lines;
    for (const WfpFilter& f : installed.filters) lines.push_back(describe_filter(f));
    return lines;
}

class FakeServiceHost : public ServiceHost {
public:
    Status run_dispatcher(const std::string& name, std::function<void()> service_main) override {
        if (!dispatcher_error) return unscripted("unscripted dispatcher for " + name);
        if (*dispatcher_error != 0) {
            return fail("StartServiceCtrlDispatcherW failed: Windows error " + std::to_string(*dispatcher_error));
        }
        service_main();
        return {};
    }
    bool register_control_handler(const std::string& name, std::function<void(uint32_t)> h) override {
        registered_name = name;
        handler = std::move(h);
        if (!registration_ok) return refused("unscripted control handler for " + name, false);
        return *registration_ok;
    }
    void report_status(ServiceState state) override { reports.push_back(state); }

    std::optional<uint32_t> dispatcher_error;  // 0: runs the service; unset: unscripted
    std::optional<bool> registration_ok;
    std::string registered_name;
    std::function<void(uint32_t)> handler;
    std::vector<ServiceState> reports;
};

// A pipe whose connects, reads, writes and peeks answer from scripts; once the connects run out,
// one with `stop_when_done` requests the stop and listens. Any other call past a script is
// unscripted. The read numbered `out_of_memory_at_read` (from 1) throws std::bad_alloc;
// `on_close` sees the pipe as it is closed.
class FakePipe : public PipeInstance {
public:
    static constexpr PipeIo kWhole{true, SIZE_MAX, PipeError::None};  // a write taken whole

    ~FakePipe() override {
        if (on_close) on_close(*this);
    }

    PipeConnect connect() override {
        if (connects.empty()) {
            if (!stop_when_done) return refused("unscripted pipe connect", PipeConnect::Failed);
            *stop_when_done = true;
            return PipeConnect::Listening;
        }
        PipeConnect next = connects.front();
        connects.pop_front();
        return next;
    }
    PipeIo read(char* buffer, size_t size) override {
        if (++read_calls == out_of_memory_at_read) throw std::bad_alloc();
        if (reads.empty()) return refused("unscripted pipe read", PipeIo{false, 0, PipeError::BrokenPipe});
        auto [io, data] = reads.front();
        reads.pop_front();
        std::memcpy(buffer, data.data(), std::min(size, data.size()));
        return io;
    }
    PipeIo write(const char* data, size_t size) override {
        ++write_calls;
        written.assign(data, size);
        if (writes.empty()) return refused("unscripted pipe write: " + written, PipeIo{false, 0, PipeError::Other});
        PipeIo io = writes.front();
        writes.pop_front();
        if (io.bytes == SIZE_MAX) io.bytes = size;
        return io;
    }
    PipeIo peek() override {
        ++peek_calls;
        if (peeks.empty()) return refused("unscripted pipe peek", PipeIo{false, 0, PipeError::BrokenPipe});
        PipeIo io = peeks.front();
        peeks.pop_front();
        return io;
    }
    void disconnect() override { ++disconnects; }
    Result<OpenedFile> read_as_client(const std::string& path) override {
        return answer_scripted(client_files, client_opens, path);
    }

    std::deque<PipeConnect> connects;
    std::atomic<bool>* stop_when_done = nullptr;
    std::deque<std::pair<PipeIo, std::string>> reads;
    std::deque<PipeIo> writes;
    std::deque<PipeIo> peeks;
    std::string written;
    int read_calls = 0;
    int out_of_memory_at_read = 0;
    int write_calls = 0;
    int peek_calls = 0;
    int disconnects = 0;
    std::map<std::string, ScriptedFile> client_files;
    std::vector<std::string> client_opens;
    std::function<void(const FakePipe&)> on_close;
};

// Hands out pipes; fails a creation while `failures` is positive (with the name held by another
// process when `name_taken`), then has `on_create` script each (unset: unscripted).
class FakePipeServer : public PipeServer {
public:
    Result<std::unique_ptr<PipeInstance>, PipeCreateFailure> create() override {
        ++creations;
        if (failures > 0) {
            --failures;
            return PipeCreateFailure{fail("All pipe instances are busy. (os error 231)"), name_taken};
        }
        if (!on_create) return refused("unscripted pipe creation", std::unique_ptr<PipeInstance>());
        auto pipe = std::make_unique<FakePipe>();
        on_create(*pipe);
        return pipe;
    }
    int creations = 0;
    int failures = 0;
    bool name_taken = false;
    std::function<void(FakePipe&)> on_create;
};

// The command line's view of the service, once `scripted`: not running unless `service_pid` is
// set; its pipe then answers `answer`, or what `serve` makes of the request (served by
// `server_pid`, the service itself unless set) after `busy_opens` busy opens. Each request sent
// is kept.
class FakeServiceClient : public ServiceClient {
public:
    class Connection : public ServicePipeConnection {
    public:
        explicit Connection(FakeServiceClient& owner) : owner_(owner) {}
        uint32_t server_process_id() override { return owner_.server_pid.value_or(*owner_.service_pid); }
        Result<std::string> exchange(const std::string& request) override {
            owner_.sent.push_back(request);
            if (owner_.serve) return owner_.serve(request);
            if (!owner_.answer) return owner_.unscripted("exchange " + request);
            return *owner_.answer;
        }

    private:
        FakeServiceClient& owner_;
    };

    std::optional<uint32_t> running_service_pid(const std::string& name) override {
        if (!scripted) unscripted("running_service_pid " + name);
        return service_pid;
    }
    Result<std::unique_ptr<ServicePipeConnection>, PipeOpenFailure> open_pipe() override {
        if (!scripted || !service_pid) return PipeOpenFailure{unscripted("open_pipe"), PipeOpen::Failed};
        if (busy_opens > 0) {
            --busy_opens;
            return PipeOpenFailure{fail("All pipe instances are busy."), PipeOpen::Busy};
        }
        return std::make_unique<Connection>(*this);
    }

    bool scripted = false;
    std::optional<uint32_t> service_pid;
    std::optional<uint32_t> server_pid;
    int busy_opens = 0;
    std::optional<Result<std::string>> answer;
    std::function<Result<std::string>(const std::string&)> serve;
    std::vector<std::string> sent;

private:
    Failure unscripted(const std::string& call) {
        if (unscripted_call_hook()) unscripted_call_hook()("FakeServiceClient: unscripted " + call);
        return fail("unscripted " + call);
    }
};

// The driver's service: installed or not, then one scripted state per query; it starts only
// when `startable`.
class FakeDriverServiceControl : public DriverServiceControl {
public:
    Result<void, DriverOpenFailure> open(const std::string&) override {
        ++opens;
        if (!installed) report_unscripted("unscripted open of the driver service");
        if (!installed.value_or(false)) return DriverOpenFailure{system_failure(1060, "not installed"), false};
        return {};
    }
    Result<DriverServiceState, SystemFailure> query() override {
        if (states.empty()) return refused("unscripted query of the driver service", system_failure(6, "unscripted"));
        DriverServiceState state = states.front();
        states.pop_front();
        return state;
    }
    Result<void, SystemFailure> start() override {
        if (startable) return {};
        return refused("unscripted start of the driver service", system_failure(1058, "unscripted"));
    }
    void close() override {}
    std::optional<bool> installed;
    std::deque<DriverServiceState> states;
    bool startable = false;
    int opens = 0;
};

// A driver that keeps the last policy and counts its root ids as the tracked processes; a
// request other than those three, or to a device whose presence is unscripted, is unscripted.
class FakeDriverDevice : public DriverDevice {
public:
    DriverReply control(uint32_t code, const std::string* input, uint32_t output_size) override {
        codes.push_back(code);
        bool known = code == VORN_IOCTL_QUERY_DIAGNOSTICS || code == VORN_IOCTL_SET_POLICY || code == VORN_IOCTL_CLEAR_POLICY;
        if (!present || !known) {
            std::ostringstream call;
            call << "unscripted driver request 0x" << std::hex << code;
            return refused(call.str(), DriverReply{});
        }
        if (!*present) return DriverReply{};
        if (code == VORN_IOCTL_QUERY_DIAGNOSTICS && diagnostics_answers == 0) return DriverReply{false, true, 0, ""};
        if (code == VORN_IOCTL_QUERY_DIAGNOSTICS && diagnostics_answers > 0) --diagnostics_answers;
        if (code == VORN_IOCTL_SET_POLICY && input) policy = *input;
        if (code == VORN_IOCTL_CLEAR_POLICY) policy.clear();
        std::string out(output_size, '\0');
        if (code == VORN_IOCTL_QUERY_DIAGNOSTICS) {
            uint32_t tracked = policy.size() >= 20 ? uint32_t(uint8_t(policy[16])) : 0;
            out[0] = 2;
            out[4] = static_cast<char>(tracked);
        }
        return DriverReply{true, true, output_size, out};
    }
    std::optional<bool> present;
    int diagnostics_answers = -1;  // diagnostics requests answered before they fail; -1: all
    std::string policy;
    std::vector<uint32_t> codes;
};

// Sockets for a proxy that never sees a connection: a listener, pollers that only wait, closes.
// The tests that relay use the POSIX adapter.
class FakeSockets : public SocketApi {
public:
    class IdlePoller : public SocketPoller {
    public:
        bool add(SocketHandle, uint64_t, unsigned) override { return true; }
        bool modify(SocketHandle s, uint64_t, unsigned) override { return unexpected("modify", s); }
        void remove(SocketHandle) override {}
        bool wait(uint32_t timeout_ms, std::vector<Event>& events) override {
            events.clear();
            std::unique_lock lock(mutex_);
            woken_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return woken; });
            woken = false;
            return true;
        }
        void wake() override {
            std::lock_guard lock(mutex_);
            woken = true;
            woken_.notify_all();
        }
        uint64_t now_ms() override { return 0; }

    private:
        std::mutex mutex_;
        std::condition_variable woken_;
        bool woken = false;
    };

    Result<SocketHandle> listen_loopback(uint16_t& port) override {
        if (listen_error) return fail(*listen_error);
        if (listens >= listenable) return unscripted("unscripted loopback listener");
        ++listens;
        port = 50123;
        return SocketHandle{7};
    }
    Result<SocketHandle, AcceptFailure> accept(SocketHandle s) override {
        unexpected("accept", s);
        return AcceptFailure{};
    }
    Result<SocketHandle> start_connect(const Endpoint&) override {
        unexpected("start_connect", kNoSocket);
        return fail("unexpected");
    }
    Status connection_result(SocketHandle s) override {
        unexpected("connection_result", s);
        return fail("unexpected");
    }
    long receive(SocketHandle s, char*, size_t) override { return unexpected("receive", s) ? 0 : kSocketError; }
    long send(SocketHandle s, const char*, size_t) override { return unexpected("send", s) ? 0 : kSocketError; }
    void shutdown_send(SocketHandle s) override { unexpected("shutdown_send", s); }
    void close(SocketHandle) override { ++closes; }
    Result<std::unique_ptr<SocketPoller>> make_poller() override {
        return std::unique_ptr<SocketPoller>(std::make_unique<IdlePoller>());
    }
    std::optional<std::string> listen_error;
    int listenable = 0;  // listeners the test lets a proxy open
    std::atomic<int> listens{0};
    std::atomic<int> closes{0};

private:
    // No test scripts these: such a call fails the test (without one, the run), naming it.
    static bool unexpected(const char* call, SocketHandle s) {
        std::string text = "unscripted socket call " + std::string(call) + " on socket " + std::to_string(s);
        if (unscripted_call_hook()) return refused(text, false);
        std::fprintf(stderr, "%s\n", text.c_str());
        std::abort();
    }
};

class NoRedirectContext : public RedirectContext {
public:
    Result<std::string> query(SocketHandle s) override {
        return unscripted("unscripted redirect context query on socket " + std::to_string(s));
    }
};

class FakeClock : public Clock {
public:
    uint64_t unix_time_ms() override { return now_ms; }
    void sleep_ms(uint32_t milliseconds) override {
        sleeps.push_back(milliseconds);
        now_ms += milliseconds;
    }
    uint64_t now_ms = 1700000000000ull;
    std::vector<uint32_t> sleeps;
};

// A private folder under the system temporary directory, removed afterwards.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() / ("vorn-unit-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string str() const { return path_.string(); }
    std::filesystem::path path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Captured Windows output (CR LF line ends) from tests/unit/fixtures.
inline std::string fixture(const std::string& name) {
    std::ifstream in(std::string(VORN_UNIT_FIXTURES_DIR) + "/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Everything a core operation needs, with ProgramData pointing into a temporary folder.
// Without a test framework (the fuzz targets, whose input answers the tools) engines launch,
// the filtering engine and Wintun open and every port is free, as if scripted.
struct FakePlatform {
    FakePlatform() {
        env.variables["ProgramData"] = dir.str();
        files.allow(dir.str());
        if (!unscripted_call_hook()) {
            processes.launches = 1000;
            wfp.open_status = 0;
            dlls.load_error = 0;
            net.other_ports_free = true;
        }
    }
    // A machine on which nothing of the tunnel is installed or left: no split driver, the
    // filtering engine opens and finds none of its objects, the engine ports are free.
    void nothing_installed() {
        driver_service.installed = false;
        driver.present = false;
        wfp.open_status = 0;
        net.other_ports_free = true;
    }
    std::string runtime() const { return (dir.path() / "VornVPN" / "runtime").string(); }

    TempDir dir;
    FakeEnvironment env;
    FakeTools tools;
    FakeClock clock;
    FakeLauncher processes;
    FakeNetwork net;
    FakeDllLoader dlls;
    FakeFileSecurity files;
    FakeWfp wfp;
    std::string wintun_image = std::string("MZ\x90\0stand-in image", 18);
    FakeServiceHost service;
    FakePipeServer pipes;
    FakeServiceClient service_client;
    FakeDriverServiceControl driver_service;
    FakeDriverDevice driver;
    FakeSockets sockets;
    NoRedirectContext redirect_context;
    FakeRequestFiles request_files;
    std::ostringstream out;
    std::ostringstream err;
    Platform platform{env,   tools,          clock,  processes, net,     dlls,  files,
                      wfp,   wintun_image,   service, pipes,    service_client, driver_service, driver,
                      sockets, redirect_context, request_files, out, err};
};

}  // namespace vorn::testing
