#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "bin/vorn_tunnel_service/commands.h"
#include "common/files.h"
#include "fakes.h"
#include "service/ipc.h"
#include "service/service_main.h"
#include "tunnel_core/status.h"

namespace vorn {
namespace {

using testing::FakePipe;
using testing::FakePlatform;
using testing::ToolCall;

// A machine on which nothing of the tunnel is installed or runs, and the cleanup succeeds quietly.
void quiet_machine(FakePlatform& f) {
    f.nothing_installed();
    f.tools.handler = [](const ToolCall& call) -> Result<ToolRun> {
        if (call.program == "tasklist") return ToolRun{0, "INFO: No tasks are running which match the specified criteria.\r\n", ""};
        return testing::quietly(call, {"route print"});
    };
}

TEST(ServiceIpcRequest, ShapesAndRefusals) {
    struct Case {
        std::string text;
        std::string error;  // "" when it parses
        std::optional<std::string> path;
    };
    const Case cases[] = {
        {R"({"command":"status","requestPath":null})", "", std::nullopt},
        {R"({"command":"connect","requestPath":"C:\\r.json","extra":[1]})", "", "C:\\r.json"},
        {" {\"command\":\"disconnect\"} \r\n", "", std::nullopt},
        {R"({"command":"Connect"})", "invalid service IPC request: unknown command \"Connect\"", std::nullopt},
        {R"({"command":"status"} {})", "invalid service IPC request: ", std::nullopt},
        {"status", "invalid service IPC request: ", std::nullopt},
        {R"({"requestPath":"x"})", "invalid service IPC request: missing member \"command\"", std::nullopt},
        {R"({"command":"connect","requestPath":5})",
         "invalid service IPC request: member \"requestPath\" must be a string or null, found number", std::nullopt},
        {std::string("{\"command\":\"status\"}\0\0\0", 23), "invalid service IPC request: ", std::nullopt},
    };
    for (const Case& c : cases) {
        auto request = parse_service_ipc_request(c.text);
        if (c.error.empty()) {
            ASSERT_TRUE(request.ok()) << c.text << ": " << request.error();
            EXPECT_EQ(request->request_path, c.path);
        } else {
            ASSERT_FALSE(request.ok()) << c.text;
            EXPECT_EQ(request.error().rfind(c.error, 0), 0u) << request.error();
        }
    }
}

TEST(HandleIpcRequest, AnswersAndWhatIsRecorded) {
    struct Case {
        const char* name;
        std::string request;
        std::string response_prefix;
        bool status_file_changed;
    };
    const Case cases[] = {
        {"status with a null path", R"({"command":"status","requestPath":null})",
         R"({"status":"error","message":"old"})", false},
        {"connect without a path", R"({"command":"connect"})",
         R"({"status":"error","message":"connect request is missing requestPath"})", false},
        {"capital command", R"({"command":"Connect","requestPath":"x"})",
         R"({"status":"error","message":"invalid service IPC request: )", false},
        {"not JSON", "hello", R"({"status":"error","message":"invalid service IPC request: )", false},
        {"trailing text", R"({"command":"status"}x)", R"({"status":"error","message":"invalid service IPC request: )", false},
        {"disconnect", R"({"command":"disconnect","requestPath":"ignored"})",
         R"({"status":"idle","message":"Vorn product tunnel disconnected"})", true},
        {"connect of a missing file", R"({"command":"connect","requestPath":"/nonexistent/r.json"})",
         R"({"status":"error","message":"could not read product tunnel request: )", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        quiet_machine(f);
        ASSERT_TRUE(create_directories(f.runtime()).ok());
        const std::string old = "{\n  \"status\": \"error\",\n  \"message\": \"old\"\n}";
        ASSERT_TRUE(write_file(f.runtime() + "/product-tunnel-status.json", old).ok());
        std::string response = handle_ipc_request(f.platform, c.request, nullptr);
        EXPECT_EQ(response.rfind(c.response_prefix, 0), 0u) << response;
        EXPECT_EQ(response.find('\n'), std::string::npos);
        EXPECT_EQ(read_file(f.runtime() + "/product-tunnel-status.json").value() != old, c.status_file_changed);
    }
}

TEST(HandleIpcRequest, RequestFileIsReadOnlyThroughTheClientsOpen) {
    struct Case {
        const char* name;
        std::string path;
        std::optional<Result<OpenedFile>> client_open;  // absent: the path must not be opened
        std::string message_prefix;
    };
    const std::string refused = "could not read product tunnel request: ";
    const Case cases[] = {
        // Nothing exists at this path here: a parse failure shows the bytes came from the open.
        {"bytes from the client's open", "C:\\Users\\Ann\\r.json", OpenedFile{"{", "\\\\?\\C:\\Users\\Ann\\r.json"},
         "could not parse product tunnel request: "},
        {"client may not read it", "C:\\Users\\Other\\r.json", Result<OpenedFile>(fail("Access is denied. (os error 5)")),
         refused + "Access is denied. (os error 5)"},
        {"not a disk file", "C:\\dir\\r.json", Result<OpenedFile>(fail("the path does not name a file on a disk")),
         refused + "the path does not name a file on a disk"},
        {"pipe", "\\\\.\\pipe\\vorn-probe", std::nullopt, refused + "the path is a pipe path, not a file on a local disk"},
        {"UNC", "\\\\host\\share\\r.json", std::nullopt, refused + "the path is a UNC path, not a file on a local disk"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        quiet_machine(f);
        ASSERT_TRUE(create_directories(f.runtime()).ok());
        FakePipe pipe;
        if (c.client_open) pipe.client_files[c.path] = testing::ScriptedFile{*c.client_open, false};
        std::string request = nlohmann::json{{"command", "connect"}, {"requestPath", c.path}}.dump();
        std::string response =
            handle_ipc_request(f.platform, request, [&pipe](const std::string& p) { return pipe.read_as_client(p); });
        auto recorded = read_status(f.platform);
        ASSERT_TRUE(recorded.has_value());
        EXPECT_EQ(recorded->status, TunnelState::Error);
        EXPECT_EQ(recorded->message->rfind(c.message_prefix, 0), 0u) << *recorded->message;
        EXPECT_EQ(response, status_to_json(*recorded).value());
        EXPECT_EQ(pipe.client_opens.size(), c.client_open ? 1u : 0u);
        EXPECT_EQ(f.tools.calls.at(0).text(), "route delete 0.0.0.0 mask 128.0.0.0 172.19.0.1");  // the restore still runs first
        EXPECT_TRUE(f.request_files.opened.empty());  // never opened as the service
    }
}

TEST(HandleIpcRequest, UnrenderableAnswerIsTheFixedText) {
    EXPECT_EQ(kUnrenderableResponse.size(), 71u);
    FakePlatform f;
    quiet_machine(f);
    ASSERT_TRUE(create_directories(f.runtime()).ok());
    ASSERT_TRUE(write_file(f.runtime() + "/product-tunnel-status.json", "{\"status\":\"error\",\"message\":\"bad \xFF\"}").ok());
    // A stored record whose message is not valid UTF-8 is unreadable, so the status is fresh.
    EXPECT_EQ(handle_ipc_request(f.platform, R"({"command":"status"})", nullptr).rfind("{\"status\":\"idle\"", 0), 0u);
}

PipeIo ok(size_t bytes) { return PipeIo{true, bytes, PipeError::None}; }
PipeIo err(PipeError e, size_t bytes = 0) { return PipeIo{false, bytes, e}; }

constexpr const char* kMissingPath = R"({"status":"error","message":"connect request is missing requestPath"})";
constexpr const char* kTooLong = R"({"status":"error","message":"invalid service IPC request: the message is longer than 65536 bytes"})";

TEST(ServePipeClient, ReadRetriesAndGiveUps) {
    const std::string request = R"({"command":"connect"})";
    struct Case {
        const char* name;
        std::vector<std::pair<PipeIo, std::string>> reads;
        bool answered;
        size_t read_sleeps;
        std::string answer = kMissingPath;
        int out_of_memory_at_read = 0;
    };
    const Case cases[] = {
        {"first read", {{ok(request.size()), request}}, true, 0},
        {"zero bytes then data", {{ok(0), ""}, {err(PipeError::NoData), ""}, {ok(request.size()), request}}, true, 2},
        {"other failure gives up", {{err(PipeError::Other), ""}}, false, 0},
        {"broken pipe gives up", {{err(PipeError::BrokenPipe), ""}}, false, 0},
        // The pipe has more of the message than was read: no part of it is taken for a request,
        // and no further read takes the rest, not even while waiting for the close.
        {"part of a message, then a failure", {{err(PipeError::Other, 3), "{\"c"}}, true, 0, kTooLong},
        {"longer than the buffer", {{err(PipeError::MoreData, 65536), "{"}}, true, 0, kTooLong},
        {"longer than the buffer, late", {{err(PipeError::NoData), ""}, {err(PipeError::MoreData, 65536), "{"}}, true, 1, kTooLong},
        {"out of memory", {}, true, 0, std::string(kOutOfMemoryResponse), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        FakePipe pipe;
        for (const auto& r : c.reads) pipe.reads.push_back(r);
        pipe.out_of_memory_at_read = c.out_of_memory_at_read;
        if (c.answered) {
            pipe.writes = {FakePipe::kWhole};
            pipe.peeks = {err(PipeError::BrokenPipe)};  // the client gone after the answer
        }
        std::atomic<bool> stop{false};
        serve_pipe_client(f.platform, pipe, stop);
        EXPECT_EQ(pipe.write_calls, c.answered ? 1 : 0);
        if (c.answered) { EXPECT_EQ(pipe.written, c.answer); }
        EXPECT_EQ(f.clock.sleeps, std::vector<uint32_t>(c.read_sleeps, 20));
    }
}

TEST(ServePipeClient, SilentClientIsDroppedAfter250ReadsAndStopEndsAtOnce) {
    FakePlatform f;
    FakePipe pipe;
    for (int i = 0; i < 300; ++i) pipe.reads.push_back({err(PipeError::NoData), ""});
    std::atomic<bool> stop{false};
    serve_pipe_client(f.platform, pipe, stop);
    EXPECT_EQ(pipe.read_calls, 250);
    EXPECT_EQ(f.clock.sleeps, std::vector<uint32_t>(250, 20));
    EXPECT_EQ(pipe.write_calls, 0);

    FakePlatform g;
    FakePipe held;
    held.reads.push_back({err(PipeError::NoData), ""});
    std::atomic<bool> stopped{true};
    serve_pipe_client(g.platform, held, stopped);
    EXPECT_EQ(held.read_calls, 1);
    EXPECT_TRUE(g.clock.sleeps.empty());

    // Even on the last attempt, a part of a message is refused.
    FakePlatform h;
    FakePipe partial;
    for (int i = 0; i < 249; ++i) partial.reads.push_back({err(PipeError::NoData), ""});
    partial.reads.push_back({err(PipeError::Other, 21), R"({"command":"connect"})"});
    partial.peeks = {err(PipeError::BrokenPipe)};
    partial.writes = {FakePipe::kWhole};
    serve_pipe_client(h.platform, partial, std::atomic<bool>{false});
    EXPECT_EQ(partial.written, kTooLong);
}

TEST(ServePipeClient, WriteRetriesThenWaitsForTheClientToClose) {
    const std::string request = R"({"command":"connect"})";
    struct Case {
        const char* name;
        std::vector<PipeIo> writes;
        int write_calls;
        int close_wait_peeks;  // looks after the answer before the client is seen gone
    };
    const Case cases[] = {
        {"whole at once", {FakePipe::kWhole}, 1, 1},
        {"partial, then no data, then whole", {ok(5), err(PipeError::NoData), FakePipe::kWhole}, 3, 1},
        {"failure gives up without waiting", {err(PipeError::Other)}, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        FakePipe pipe;
        pipe.reads.push_back({ok(request.size()), request});
        if (c.close_wait_peeks) pipe.peeks.push_back(err(PipeError::BrokenPipe));
        for (const auto& w : c.writes) pipe.writes.push_back(w);
        serve_pipe_client(f.platform, pipe, std::atomic<bool>{false});
        EXPECT_EQ(pipe.write_calls, c.write_calls);
        EXPECT_EQ(pipe.read_calls, 1);
        EXPECT_EQ(pipe.peek_calls, c.close_wait_peeks);
    }
    // A client that keeps its end open, or leaves more bytes unread, is waited for 250 steps at most.
    FakePlatform g;
    FakePipe lingering;
    lingering.reads.push_back({ok(request.size()), request});
    for (int i = 0; i < 300; ++i) lingering.peeks.push_back(ok(i % 2 ? 0 : 70000));
    lingering.writes = {FakePipe::kWhole};
    serve_pipe_client(g.platform, lingering, std::atomic<bool>{false});
    EXPECT_EQ(lingering.read_calls, 1);
    EXPECT_EQ(lingering.peek_calls, 250);
    EXPECT_EQ(g.clock.sleeps, std::vector<uint32_t>(250, 20));
}

// The resume connects with the service's private copy of the request; the saved path is only
// text now, and the user's file is never opened.
TEST(Resume, DecisionTable) {
    const std::string request = "C:\\ProgramData\\Vorn\\request.json";
    const std::string connected = R"({"status":"connected","message":"m"})";
    const std::string no_copy = "could not read product tunnel request: its saved copy is missing from the runtime directory";
    struct Case {
        const char* name;
        std::string saved_path;  // "" for none
        std::optional<std::string> copy;
        bool copy_planted;  // the copy is another account's
        std::optional<std::string> status;
        bool connects;
        std::string recorded;  // the status message afterwards, "" when unchanged
    };
    const Case cases[] = {
        {"saved path, copy and connected", request, "{", false, connected, true, "could not parse product tunnel request: "},
        {"a UNC path is never opened", "\\\\host\\share\\request.json", "{", false, connected, true,
         "could not parse product tunnel request: "},
        {"status error", request, "{", false, R"({"status":"error","message":"m"})", false, ""},
        {"no status file", request, "{", false, std::nullopt, false, ""},
        {"no saved path", "", "{", false, connected, false, ""},
        {"copy missing (an older version saved the path alone)", request, std::nullopt, false, connected, false, no_copy},
        {"copy planted by another account", request, "{", true, connected, false, no_copy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        quiet_machine(f);
        ASSERT_TRUE(create_directories(f.runtime()).ok());
        if (!c.saved_path.empty()) {
            ASSERT_TRUE(write_file(f.runtime() + "/product-tunnel-reconnect-request-path.txt", " " + c.saved_path + "\r\n").ok());
        }
        const std::string copy = f.runtime() + "/product-tunnel-reconnect-request.json";
        if (c.copy) { ASSERT_TRUE(write_file(copy, *c.copy).ok()); }
        if (c.copy_planted) f.files.mark(copy, true, false);
        if (c.status) { ASSERT_TRUE(write_file(f.runtime() + "/product-tunnel-status.json", *c.status).ok()); }
        resume_after_service_start(f.platform);
        EXPECT_TRUE(f.request_files.opened.empty());
        // The connect of this request fails at parsing; what matters is whether it ran.
        EXPECT_EQ(!f.tools.calls.empty(), c.connects);
        auto recorded = read_status(f.platform);
        if (c.recorded.empty()) {
            EXPECT_EQ(read_file(f.runtime() + "/product-tunnel-status.json").ok(), c.status.has_value());
            if (c.status) { EXPECT_EQ(read_file(f.runtime() + "/product-tunnel-status.json").value(), *c.status); }
        } else {
            ASSERT_TRUE(recorded.has_value());
            EXPECT_EQ(recorded->status, TunnelState::Error);
            EXPECT_EQ(recorded->message->rfind(c.recorded, 0), 0u) << *recorded->message;
            EXPECT_TRUE(file_exists(f.runtime() + "/product-tunnel-reconnect-request-path.txt"));
        }
    }
}

TEST(ServiceMain, ReportsAroundThePipeLoopAndStopsTheEngines) {
    const std::string request = "C:\\ProgramData\\Vorn\\request.json";
    const std::string missing_path = R"({"status":"error","message":"connect request is missing requestPath"})";
    enum class OutOfMemory { Nowhere, CreatingThePipe, Resuming, StoppingTheEngines };
    struct Case {
        const char* name;
        int failed_creations;  // of the pipe, its name held by another process
        OutOfMemory out_of_memory;
        int creations;
        size_t reports_before_the_pipe;
        std::vector<uint32_t> sleeps;
        std::string recorded;  // the status message afterwards, from its start
    };
    const std::string parse = "could not parse product tunnel request: ";
    const Case cases[] = {
        {"pipe at once", 0, OutOfMemory::Nowhere, 1, 0, {100}, parse},
        {"two failed creations: one before the resume, recorded after it", 2, OutOfMemory::Nowhere, 3, 2, {250, 100},
         "could not create service pipe \\\\.\\pipe\\VornTunnelService: the name is held by another process: "},
        {"out of memory creating the pipe", 0, OutOfMemory::CreatingThePipe, 2, 2, {100}, parse},
        {"out of memory resuming", 0, OutOfMemory::Resuming, 1, 0, {100},
         "could not resume the product tunnel: out of memory"},
        {"out of memory stopping the engines", 0, OutOfMemory::StoppingTheEngines, 1, 0, {100}, parse},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        f.service.registration_ok = true;
        quiet_machine(f);
        ASSERT_TRUE(create_directories(f.runtime()).ok());
        ASSERT_TRUE(write_file(f.runtime() + "/product-tuic.pid", "88").ok());
        // A saved tunnel, so the resume runs (its request fails at parsing).
        const std::string connected = R"({"status":"connected","message":"m"})";
        ASSERT_TRUE(write_file(f.runtime() + "/product-tunnel-status.json", connected).ok());
        ASSERT_TRUE(write_file(f.runtime() + "/product-tunnel-reconnect-request-path.txt", request).ok());
        ASSERT_TRUE(write_file(f.runtime() + "/product-tunnel-reconnect-request.json", "{").ok());
        f.pipes.failures = c.failed_creations;
        f.pipes.name_taken = true;

        ServiceRuntime runtime;
        FakePipe* pipe = nullptr;
        std::string answered;
        std::optional<size_t> reports_at_creation;
        f.pipes.on_create = [&](FakePipe& created) {
            if (c.out_of_memory == OutOfMemory::CreatingThePipe && f.pipes.creations == 1) throw std::bad_alloc();
            pipe = &created;
            reports_at_creation = f.service.reports.size();
            created.connects = {PipeConnect::Connected};
            created.reads = {{ok(21), R"({"command":"connect"})"}};
            created.writes = {FakePipe::kWhole};
            created.peeks = {err(PipeError::BrokenPipe)};
            created.stop_when_done = &runtime.stop_requested;
            created.on_close = [&](const FakePipe& closed) {
                answered = closed.written;
                pipe = nullptr;
            };
        };
        std::optional<std::vector<ServiceState>> reports_at_resume;
        bool served_before_resume = false;
        auto machine = f.tools.handler;
        f.tools.handler = [&](const ToolCall& call) -> Result<ToolRun> {
            if (!reports_at_resume) {
                reports_at_resume = f.service.reports;
                served_before_resume = pipe && pipe->read_calls > 0;
                EXPECT_EQ(f.pipes.creations, 1);  // the pipe was tried first
                if (c.out_of_memory == OutOfMemory::Resuming) throw std::bad_alloc();
            }
            if (c.out_of_memory == OutOfMemory::StoppingTheEngines && call.program == "taskkill") {
                throw std::bad_alloc();
            }
            return machine(call);
        };

        service_main(f.platform, runtime);
        EXPECT_EQ(f.service.registered_name, "VornTunnelService");
        EXPECT_EQ(reports_at_creation, c.reports_before_the_pipe);
        EXPECT_EQ(reports_at_resume, (std::vector<ServiceState>{ServiceState::StartPending, ServiceState::Running}));
        EXPECT_FALSE(served_before_resume);
        EXPECT_EQ(answered, missing_path);  // served once the resume was done
        EXPECT_EQ(f.service.reports, (std::vector<ServiceState>{ServiceState::StartPending, ServiceState::Running,
                                                                ServiceState::StopPending, ServiceState::Stopped}));
        EXPECT_EQ(f.pipes.creations, c.creations);
        EXPECT_EQ(f.clock.sleeps, c.sleeps);
        auto recorded = read_status(f.platform);
        ASSERT_TRUE(recorded.has_value());
        EXPECT_EQ(recorded->message->rfind(c.recorded, 0), 0u) << *recorded->message;
        EXPECT_EQ(file_exists(f.runtime() + "/product-tuic.pid"), c.out_of_memory == OutOfMemory::StoppingTheEngines);
        EXPECT_EQ(f.tools.count("taskkill"), 1u);
    }
}

TEST(ServiceMain, ControlsAndRegistration) {
    FakePlatform f;
    f.service.registration_ok = false;
    ServiceRuntime runtime;
    service_main(f.platform, runtime);
    EXPECT_TRUE(f.service.reports.empty());
    EXPECT_EQ(f.pipes.creations, 0);

    FakePlatform g;
    ServiceRuntime idle;
    service_control_handler(g.platform, idle, 4);  // interrogate: ignored
    EXPECT_FALSE(idle.stop_requested);
    service_control_handler(g.platform, idle, kServiceControlShutdown);
    EXPECT_TRUE(idle.stop_requested);
    EXPECT_TRUE(g.service.reports.empty());  // nothing registered yet: nothing reported
}

TEST(PipeLoop, OneInstanceServesEveryClientUntilStop) {
    const std::string request = R"({"command":"connect"})";
    FakePlatform f;
    FakePipe pipe;
    std::atomic<bool> stop{false};
    pipe.connects = {PipeConnect::Listening, PipeConnect::Connected, PipeConnect::Failed, PipeConnect::Connected};
    pipe.stop_when_done = &stop;
    pipe.reads = {{ok(request.size()), request}, {ok(request.size()), request}};
    pipe.peeks = {err(PipeError::BrokenPipe), err(PipeError::BrokenPipe)};
    pipe.writes = {FakePipe::kWhole, FakePipe::kWhole};
    serve_pipe_instance(f.platform, pipe, stop);
    EXPECT_EQ(pipe.write_calls, 2);
    EXPECT_EQ(pipe.disconnects, 3);  // after each client and after the failed connect; never closed
    EXPECT_EQ(f.clock.sleeps, (std::vector<uint32_t>{100, 100, 100}));
}

TEST(PipeLoop, NameHeldByAnotherProcessIsRecordedOnceAndRetried) {
    struct Case {
        bool name_taken;
        std::optional<std::string> recorded;
    };
    const Case cases[] = {
        {true, "could not create service pipe \\\\.\\pipe\\VornTunnelService: the name is held by another process: "
               "All pipe instances are busy. (os error 231)"},
        {false, std::nullopt},
    };
    for (const Case& c : cases) {
        FakePlatform f;
        std::atomic<bool> stop{false};
        f.pipes.failures = 3;
        f.pipes.name_taken = c.name_taken;
        f.pipes.on_create = [&](FakePipe&) { stop = true; };
        run_pipe_loop(f.platform, stop);
        EXPECT_EQ(f.pipes.creations, 4);
        EXPECT_EQ(f.clock.sleeps, (std::vector<uint32_t>{250, 250, 250}));
        auto status = read_status(f.platform);
        EXPECT_EQ(status.has_value(), c.recorded.has_value());
        if (c.recorded) { EXPECT_EQ(status, make_status(TunnelState::Error, *c.recorded)); }
    }
}

TEST(RunService, DispatcherFailureIsTheCommandsFailure) {
    FakePlatform f;
    f.service.dispatcher_error = 1063;
    EXPECT_EQ(run_command_line(f.platform, {"svc.exe", "run-service"}), 1);
    EXPECT_EQ(f.err.str(), "StartServiceCtrlDispatcherW failed: Windows error 1063\n");
    EXPECT_EQ(f.out.str(), "");
}

}  // namespace
}  // namespace vorn
