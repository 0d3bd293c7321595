#pragma once
// The service's control channel: one JSON request per pipe connection, one status back.

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

inline constexpr std::string_view kPipeName = "\\\\.\\pipe\\VornTunnelService";
// What a client gets when its answer cannot be rendered.
inline constexpr std::string_view kUnrenderableResponse =
    "{\"status\":\"error\",\"message\":\"could not serialize service IPC response\"}";

enum class ServiceIpcCommand { Connect, Disconnect, Status };

struct ServiceIpcRequest {
    ServiceIpcCommand command;
    std::optional<std::string> request_path;
};

Result<ServiceIpcRequest> parse_service_ipc_request(std::string_view bytes);

// Checks, as the pipe client, that it may read the request file it names.
using ClientReadCheck = std::function<Status(const std::string& path)>;

// Runs one request and renders the answer; never fails.
std::string handle_ipc_request(Platform& platform, std::string_view bytes, const ClientReadCheck& client_can_read);

// Serves one connected client: reads its request, answers, waits for it to take the answer.
void serve_pipe_client(Platform& platform, PipeInstance& pipe, const std::atomic<bool>& stop_requested);
// Creates pipe instances and serves clients one at a time until a stop is requested.
void run_pipe_loop(Platform& platform, const std::atomic<bool>& stop_requested);

}  // namespace vorn
