#include "service/ipc.h"

#include <new>
#include <vector>

#include "common/json_record.h"
#include "platform/poll.h"
#include "service/connect_record.h"
#include "service/live_status.h"
#include "tunnel/disconnect.h"
#include "tunnel/request_path.h"
#include "tunnel_core/status.h"

namespace vorn {

namespace {

constexpr size_t kRequestBufferSize = 65536;
// A client gets five seconds for each of its request, our answer, and its close.
constexpr PollSchedule kIoWait{250, 20};
constexpr uint32_t kIdlePollMs = 100;
constexpr uint32_t kCreateBackoffMs = 250;

std::string render(const TunnelStatus& status) {
    auto text = status_to_json(status);
    return text ? *text : std::string(kUnrenderableResponse);
}

TunnelStatus run_connect(Platform& platform, const std::string& path, const ClientFileReader& read_as_client) {
    // The service runs as LocalSystem: the request is read through the client's own open of it,
    // and a path that would reach a pipe, a device or another host is not opened at all.
    auto as_client = [&read_as_client](const std::string& request_path) -> Result<std::string> {
        if (auto local = check_local_request_path(request_path); !local) return local.failure();
        if (!read_as_client) return fail("there is no pipe client to read it as");
        auto opened = read_as_client(request_path);
        if (!opened) return opened.failure();
        return std::move(opened->bytes);
    };
    // Nothing the pipe's handling requires can fail: the result is always a status.
    auto recorded = connect_and_record(platform, path, as_client, kPipeConnect);
    return recorded ? *recorded : failed_status(recorded.failure());
}

// Reads one request message; absent when the client is given up on. A message longer than the
// buffer (the pipe has more of it) is refused as it is found: none of its parts is a request, and
// the rest of it is neither read nor made room for.
std::optional<Result<std::string>> read_request(Platform& platform, PipeInstance& pipe, const std::atomic<bool>& stop) {
    std::vector<char> buffer(kRequestBufferSize, '\0');
    std::optional<Result<std::string>> request;
    (void)poll_until(platform.clock, kIoWait, [&] {
        PipeIo io = pipe.read(buffer.data(), buffer.size());
        if (io.ok && io.bytes > 0) {
            request = Result<std::string>(std::string(buffer.data(), io.bytes));
            return true;
        }
        if (io.error == PipeError::MoreData || (!io.ok && io.bytes > 0)) {
            request = Result<std::string>(fail("invalid service IPC request: the message is longer than " +
                                               std::to_string(kRequestBufferSize) + " bytes"));
            return true;
        }
        if (stop) return true;
        bool retry = (io.ok && io.bytes == 0) || (!io.ok && io.error == PipeError::NoData);
        return !retry;
    });
    return request;
}

bool write_response(Platform& platform, PipeInstance& pipe, std::string_view response) {
    auto written = poll_until(platform.clock, kIoWait, [&]() -> std::optional<bool> {
        PipeIo io = pipe.write(response.data(), response.size());
        if (io.ok && io.bytes == response.size()) return true;
        bool retry = io.ok || io.error == PipeError::NoData;
        if (!retry) return false;
        return std::nullopt;
    });
    return written.value_or(false);
}

// Disconnecting discards an answer the client has not read yet: wait (bounded) until the client
// has taken it and closed its end. Only looks: what the client sent past its request stays unread.
void wait_for_client_close(Platform& platform, PipeInstance& pipe, const std::atomic<bool>& stop) {
    (void)poll_until(platform.clock, kIoWait, [&] { return stop || !pipe.peek().ok; });
}

}  // namespace

Result<ServiceIpcRequest> parse_service_ipc_request(std::string_view bytes) {
    const std::string prefix = "invalid service IPC request: ";
    auto reader = JsonRecordReader::parse(bytes);
    if (!reader) return fail(prefix + reader.error());
    auto command = reader->required_string("command");
    if (!command) return fail(prefix + command.error());
    ServiceIpcRequest request{};
    if (*command == "connect") {
        request.command = ServiceIpcCommand::Connect;
    } else if (*command == "disconnect") {
        request.command = ServiceIpcCommand::Disconnect;
    } else if (*command == "status") {
        request.command = ServiceIpcCommand::Status;
    } else {
        return fail(prefix + "unknown command \"" + *command +
                    "\": expected one of \"connect\", \"disconnect\", \"status\"");
    }
    auto path = reader->optional("requestPath");
    if (!path) return fail(prefix + path.error());
    if (path->is_string()) {
        request.request_path = path->get<std::string>();
    } else if (!path->is_null()) {
        return fail(prefix + "member \"requestPath\" must be a string or null, found " + json_type_name(*path));
    }
    return request;
}

namespace {

std::string handle_request(Platform& platform, std::string_view bytes, const ClientFileReader& read_as_client,
                           PipeLoopHooks* hooks) {
    auto request = parse_service_ipc_request(bytes);
    if (!request) return render(failed_status(request.failure()));
    if (hooks && request->command != ServiceIpcCommand::Status) hooks->request_starting();
    switch (request->command) {
        case ServiceIpcCommand::Disconnect: {
            TunnelStatus status = disconnect_product_tunnel(platform);
            (void)write_status(platform, status);
            return render(status);
        }
        case ServiceIpcCommand::Status: {
            LiveStatus live = query_live_status(platform);
            repair_dead_tunnel(platform, live);
            return render(live.report);
        }
        case ServiceIpcCommand::Connect:
            if (!request->request_path) {
                return render(make_status(TunnelState::Error, "connect request is missing requestPath"));
            }
            {
                TunnelStatus outcome = run_connect(platform, *request->request_path, read_as_client);
                if (hooks && outcome.status == TunnelState::Connected) hooks->tunnel_connected();
                return render(outcome);
            }
    }
    return std::string(kUnrenderableResponse);
}

// The watch's turn; like a request, it may run out of memory without ending the service.
void idle_turn(PipeLoopHooks* hooks) {
    if (hooks) (void)survives_out_of_memory([hooks] { hooks->idle_turn(); });
}

// The answer to the connected client's request; absent when the client is given up on.
std::optional<std::string> answer_client(Platform& platform, PipeInstance& pipe, const std::atomic<bool>& stop,
                                         PipeLoopHooks* hooks) {
    std::optional<Result<std::string>> request = read_request(platform, pipe, stop);
    if (!request) return std::nullopt;
    if (!*request) return render(failed_status(request->failure()));
    return handle_ipc_request(
        platform, **request, [&pipe](const std::string& path) { return pipe.read_as_client(path); }, hooks);
}

// One try at creating the pipe's instance; a name held by another process is recorded when
// `taken_recorded` is given and still false.
std::unique_ptr<PipeInstance> create_instance(Platform& platform, bool* taken_recorded) {
    std::unique_ptr<PipeInstance> created;
    (void)survives_out_of_memory([&] {
        auto pipe = platform.pipes.create();
        if (pipe) {
            created = std::move(*pipe);
            return;
        }
        // Serving into someone else's pipe would hand them our clients; say so where an
        // administrator looks, and keep trying.
        if (taken_recorded && pipe.failure().name_taken && !*taken_recorded) {
            (void)write_status(platform, make_status(TunnelState::Error, "could not create service pipe " +
                                                                             std::string(kPipeName) +
                                                                             ": the name is held by another process: " +
                                                                             pipe.error()));
            *taken_recorded = true;
        }
    });
    return created;
}

}  // namespace

std::string handle_ipc_request(Platform& platform, std::string_view bytes, const ClientFileReader& read_as_client,
                               PipeLoopHooks* hooks) {
    // Running out of memory is an answer, never the end of the service (a restart would free the
    // pipe's name and run the resume again).
    try {
        return handle_request(platform, bytes, read_as_client, hooks);
    } catch (const std::bad_alloc&) {
        return std::string(kOutOfMemoryResponse);
    }
}

void serve_pipe_client(Platform& platform, PipeInstance& pipe, const std::atomic<bool>& stop_requested,
                       PipeLoopHooks* hooks) {
    std::optional<std::string> response;
    bool out_of_memory =
        !survives_out_of_memory([&] { response = answer_client(platform, pipe, stop_requested, hooks); });
    if (!response && !out_of_memory) return;
    if (write_response(platform, pipe, out_of_memory ? kOutOfMemoryResponse : std::string_view(*response))) {
        wait_for_client_close(platform, pipe, stop_requested);
    }
}

void serve_pipe_instance(Platform& platform, PipeInstance& pipe, const std::atomic<bool>& stop_requested,
                         PipeLoopHooks* hooks) {
    while (!stop_requested) {
        switch (pipe.connect()) {
            case PipeConnect::Listening:
                idle_turn(hooks);
                platform.clock.sleep_ms(kIdlePollMs);
                break;
            case PipeConnect::Connected:
                serve_pipe_client(platform, pipe, stop_requested, hooks);
                pipe.disconnect();
                break;
            case PipeConnect::Failed:  // e.g. a client that came and went: listen again
                pipe.disconnect();
                idle_turn(hooks);
                platform.clock.sleep_ms(kIdlePollMs);
                break;
        }
    }
}

std::unique_ptr<PipeInstance> try_create_pipe(Platform& platform) { return create_instance(platform, nullptr); }

void run_pipe_loop(Platform& platform, const std::atomic<bool>& stop_requested, PipeLoopHooks* hooks,
                   std::unique_ptr<PipeInstance> pipe) {
    bool taken_recorded = false;
    while (!pipe && !stop_requested) {
        pipe = create_instance(platform, &taken_recorded);
        if (!pipe) platform.clock.sleep_ms(kCreateBackoffMs);
    }
    if (pipe) serve_pipe_instance(platform, *pipe, stop_requested, hooks);
}

}  // namespace vorn
