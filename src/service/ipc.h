#pragma once
// The service's control channel: one JSON request per pipe connection, one status back.

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/platform.h"
#include "platform/service_names.h"

namespace vorn {

inline constexpr std::string_view kPipeName = VORN_SERVICE_PIPE_NAME;
// What a client gets when its answer cannot be rendered.
inline constexpr std::string_view kUnrenderableResponse =
    "{\"status\":\"error\",\"message\":\"could not serialize service IPC response\"}";
// What a client gets when the service ran out of memory handling its request.
inline constexpr std::string_view kOutOfMemoryResponse =
    "{\"status\":\"error\",\"message\":\"could not handle service IPC request: out of memory\"}";

// Runs `step`; false when it ran out of memory. Nothing on the service's thread may end the
// process that way: a restart would free the pipe's name and run the resume again.
template <class Step>
bool survives_out_of_memory(Step&& step) {
    try {
        step();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

enum class ServiceIpcCommand { Connect, Disconnect, Status };

struct ServiceIpcRequest {
    ServiceIpcCommand command;
    std::optional<std::string> request_path;
};

Result<ServiceIpcRequest> parse_service_ipc_request(std::string_view bytes);

// What the service does between requests, and what it learns from them.
class PipeLoopHooks {
public:
    virtual ~PipeLoopHooks() = default;
    // A connect or disconnect request is about to run.
    virtual void request_starting() = 0;
    // A connect request succeeded.
    virtual void tunnel_connected() = 0;
    // The loop found no client this turn; it sleeps after this returns.
    virtual void idle_turn() = 0;
};

// Opens and reads a file as the pipe client; the service never opens a client's path as itself.
using ClientFileReader = std::function<Result<OpenedFile>(const std::string& path)>;

// Runs one request and renders the answer; never fails. A connect's request file is read only
// through `read_as_client` (none: the request is refused).
std::string handle_ipc_request(Platform& platform, std::string_view bytes, const ClientFileReader& read_as_client,
                               PipeLoopHooks* hooks = nullptr);

// Serves one connected client: reads its request, answers, waits for it to take the answer. A
// message larger than the pipe's buffer is refused without reading the rest of it.
void serve_pipe_client(Platform& platform, PipeInstance& pipe, const std::atomic<bool>& stop_requested,
                       PipeLoopHooks* hooks = nullptr);
// Serves clients one at a time on the pipe's one instance until a stop is requested: the
// instance is never closed in between, so the name stays the service's.
void serve_pipe_instance(Platform& platform, PipeInstance& pipe, const std::atomic<bool>& stop_requested,
                         PipeLoopHooks* hooks = nullptr);
// One try at creating the pipe's only instance; none when it failed. Nothing is recorded.
std::unique_ptr<PipeInstance> try_create_pipe(Platform& platform);
// Serves `pipe` (none: creates it, retrying while that fails) until a stop is requested. A name
// held by another process is recorded in the status file, once.
void run_pipe_loop(Platform& platform, const std::atomic<bool>& stop_requested, PipeLoopHooks* hooks = nullptr,
                   std::unique_ptr<PipeInstance> pipe = nullptr);

}  // namespace vorn
