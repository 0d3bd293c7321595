#include "service/service_client.h"

#include <optional>
#include <string>

#include "platform/poll.h"
#include "service/ipc.h"
#include "service/service_main.h"

namespace vorn {

namespace {

// Up to a minute for the service's pipe while it serves another client or resumes.
constexpr PollSchedule kServicePipeWait{240, 250};

}  // namespace

Result<TunnelStatus, HandOffFailure> ask_service(Platform& platform, const nlohmann::json& message) {
    const std::string service(kServiceName);
    using Answer = Result<TunnelStatus, HandOffFailure>;
    auto answered = poll_until(platform.clock, kServicePipeWait, [&]() -> std::optional<Answer> {
        std::optional<uint32_t> service_pid = platform.service_client.running_service_pid(service);
        if (!service_pid) return HandOffFailure{fail(service + " is not running"), true};
        auto opened = platform.service_client.open_pipe();
        if (opened) {
            ServicePipeConnection& pipe = **opened;
            // Whoever serves the pipe could act as us once it has read from it.
            if (uint32_t server = pipe.server_process_id(); server != *service_pid) {
                return HandOffFailure{fail("the pipe " + std::string(kPipeName) + " is served by process " +
                                           std::to_string(server) + ", not by the service (process " +
                                           std::to_string(*service_pid) + ")")};
            }
            auto answer = pipe.exchange(message.dump());
            if (!answer) return HandOffFailure{answer.failure()};
            std::optional<TunnelStatus> status = parse_status(*answer);
            if (!status) return HandOffFailure{fail("its answer is not a status record: " + *answer)};
            return *status;
        }
        if (opened.failure().status == PipeOpen::Failed) {
            return HandOffFailure{fail("could not open " + std::string(kPipeName) + ": " + opened.error())};
        }
        // Busy with another client, or still resuming before it serves the pipe.
        return std::nullopt;
    });
    return answered.value_or(HandOffFailure{fail("its pipe did not take the request within a minute")});
}

}  // namespace vorn
