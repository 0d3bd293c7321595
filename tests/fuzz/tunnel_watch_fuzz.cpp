// The service's watch over a full tunnel, each input byte an event between the pipe loop's
// idle turns: the engine exits, a route change is noticed, the adapter or default route
// changes, the next connects fail or the request file goes, the clock jumps, a request comes.
// After each turn: the recorded status says "connected" only while the engine runs; each
// take-down is followed by at most kReconnectDelaysMs.size() tries, each its delay after the
// take-down or the try before; nothing reconnects unless the watch is retrying.

#include "connect_setup.h"
#include "fuzz_check.h"
#include "service/ipc.h"
#include "service/tunnel_watch.h"
#include "tunnel/disconnect.h"
#include "tunnel_core/status.h"

namespace {

using namespace vorn;
using namespace vorn::testing;

constexpr const char* kPath = "C:\\Vorn\\request.json";
constexpr size_t kEvents = 64;  // more would only repeat what these show, ever slower

struct Rig : ConnectSetup {
    Rig() {
        FUZZ_CHECK(ready.ok());
        f.processes.launches = 1000;
        for (uint32_t pid = f.processes.next_pid; pid < f.processes.next_pid + 200; ++pid) {
            f.processes.openable[pid] = std::make_shared<OpenedScript>();
        }
        f.net.routes_quiet = true;
        request_file(true);
        f.tools.handler = [this](const ToolCall& call) -> Result<ToolRun> {
            if (call.program == "tasklist" && call.args.at(0) == "/FO" && in_turn) tries.push_back(f.clock.now_ms);
            if (call.program == "powershell" && default_route) return ToolRun{0, *default_route, ""};
            return machine(call);
        };
    }
    void request_file(bool present) {
        if (!present) f.request_files.files[kPath] = ScriptedFile{fail("The system cannot find the file specified."), true};
        if (present) f.request_files.files[kPath] = ScriptedFile{OpenedFile{bytes, "\\\\?\\C:\\Vorn\\request.json"}, false};
    }
    std::string ask(const std::string& request) {
        return handle_ipc_request(
            f.platform, request, [this](const std::string&) -> Result<OpenedFile> { return OpenedFile{bytes, kPath}; },
            &watch);
    }
    // The engine the last connect started (every earlier one was stopped by then).
    OpenedScript* engine() {
        uint32_t last = f.processes.next_pid - 1;
        return f.processes.requests.empty() ? nullptr : f.processes.openable.at(last).get();
    }
    void engine_ends(uint32_t code) {
        if (engine() && !engine()->exit_code) engine()->exit_code = code;
    }
    bool engine_runs() { return engine() && !engine()->exit_code; }

    std::string bytes = request_text("full", "xray");
    std::optional<std::string> default_route;  // unset: the machine's
    bool in_turn = false;
    std::vector<uint64_t> tries;  // when each connect in an idle turn began
    TunnelWatch watch{f.platform};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Rig r;
    fuzz::check_status_line(r.ask(R"({"command":"connect","requestPath":"C:\\Vorn\\request.json"})"));
    size_t tries_since_down = 0;
    uint64_t last_end = 0;
    for (size_t i = 0; i < std::min(size, kEvents); ++i) {
        const uint32_t arg = data[i] / 8;
        ConnectMachine m = r.machine;
        switch (data[i] % 8) {
            case 0:
            case 1:
                for (uint32_t turn = 0; turn <= arg; ++turn) {
                    const bool watching = r.watch.watching(), retrying = r.watch.retrying();
                    const size_t tried = r.tries.size();
                    r.in_turn = true;
                    r.watch.idle_turn();
                    r.in_turn = false;
                    FUZZ_CHECK(r.tries.size() <= tried + 1 && (retrying || r.tries.size() == tried));
                    if (r.tries.size() > tried) {
                        FUZZ_CHECK(tries_since_down < kReconnectDelaysMs.size());
                        FUZZ_CHECK(r.tries.back() >= last_end + kReconnectDelaysMs[tries_since_down++]);
                    }
                    if (watching && r.watch.retrying()) tries_since_down = 0;
                    const bool acted = r.tries.size() > tried || watching != r.watch.watching() || retrying != r.watch.retrying();
                    if (r.tries.size() > tried || (watching && r.watch.retrying())) last_end = r.f.clock.now_ms;
                    // Only a turn that acted changes the record (and the last one shows the rest).
                    if (acted || turn == arg) {
                        auto recorded = read_status(r.f.platform);
                        FUZZ_CHECK(!recorded || recorded->status != TunnelState::Connected || r.engine_runs());
                    }
                    r.f.clock.sleep_ms(100);
                }
                break;
            case 2: r.engine_ends(arg); break;
            case 3: r.f.net.route_changes.push_back(true); break;
            case 4:
                m.adapter = arg & 1;
                r.default_route = arg & 2 ? std::optional<std::string>(arg & 4 ? "" : R"({"NextHop":"10.0.0.1","ifIndex":7})") : std::nullopt;
                break;
            case 5:
                m.conflicting_vpn = arg & 1;
                r.request_file(!(arg & 2));
                break;
            case 6: r.f.clock.now_ms += arg * 1000ull; break;
            default: {
                const int kind = static_cast<int>(arg % 4);
                if (kind == 0) {
                    // Only a status looks for the engine's process, which shows while it runs.
                    m.running = r.engine_runs() ? std::vector<uint32_t>{r.f.processes.next_pid - 1} : std::vector<uint32_t>{};
                    r.machine = m;
                    fuzz::check_status_line(r.ask(R"({"command":"status"})"));
                    m.running.clear();
                }
                if (kind == 1) fuzz::check_status_line(r.ask(R"({"command":"disconnect"})"));
                if (kind == 2) fuzz::check_status_line(r.ask(R"({"command":"connect","requestPath":"C:\\Vorn\\request.json"})"));
                if (kind == 3) (void)write_status(r.f.platform, disconnect_product_tunnel(r.f.platform));  // the command line's
                if (kind != 0) FUZZ_CHECK(!r.watch.retrying() || kind == 3);
                if (kind == 1 || kind == 3) r.engine_ends(1);
            }
        }
        r.machine = m;
    }
    return 0;
}
