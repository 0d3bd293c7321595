#include "engines/engine_launch.h"

#include "common/files.h"
#include "common/text.h"
#include "engines/engine.h"
#include "engines/xray_config.h"
#include "platform/poll.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

LaunchMessages engine_launch_messages(std::string_view label) {
    std::string l(label);
    return {"could not create " + l + " stdout log: ", "could not create " + l + " stderr log: ",
            "could not start " + l + " engine: "};
}

LaunchMessages xray_tun_launch_messages() {
    return {"could not create Xray stdout log: ", "could not create Xray stderr log: ",
            "could not start Xray TUN engine: "};
}

Result<std::unique_ptr<ChildProcess>> launch_engine(Platform& platform, const std::string& executable,
                                                    std::vector<std::string> args,
                                                    std::string_view stdout_log,
                                                    std::string_view stderr_log,
                                                    const LaunchMessages& messages) {
    LaunchRequest request{executable, std::move(args), runtime_file(platform.env, stdout_log),
                          runtime_file(platform.env, stderr_log)};
    if (auto secured = secure_runtime_directory(platform, false); !secured) {
        return fail(messages.stdout_log + secured.error());
    }
    // The launcher truncates a log it finds, which keeps that file's owner and DACL; Xray, as
    // LocalSystem, appends to its own logs wherever their names lead.
    std::vector<std::pair<std::string, const std::string*>> logs = {{request.stdout_log, &messages.stdout_log},
                                                                    {request.stderr_log, &messages.stderr_log}};
    if (stdout_log == xray_engine().stdout_log) {
        for (std::string_view own : {kXrayAccessLog, kXrayErrorLog}) logs.push_back({runtime_file(platform.env, own), &messages.start});
    }
    for (const auto& [path, message] : logs) {
        if (auto cleared = remove_untrusted_entry(platform.files, path); !cleared) return fail(*message + cleared.error());
    }
    auto child = platform.processes.launch(request);
    if (child) return std::move(*child);
    const LaunchFailure& failure = child.failure();
    switch (failure.stage) {
        case LaunchStage::StdoutLog: return fail(messages.stdout_log + failure.message);
        case LaunchStage::StderrLog: return fail(messages.stderr_log + failure.message);
        case LaunchStage::Start: break;
    }
    return fail(messages.start + failure.message);
}

Status write_engine_pid(Platform& platform, std::string_view pid_file, const ChildProcess& child) {
    return write_runtime_file(platform, pid_file, std::to_string(child.pid()));
}

void end_started_engine(Platform& platform, ChildProcess& child) {
    constexpr PollSchedule kExitWait{50, 100};
    auto gone = [&child] {
        auto state = child.poll();
        return !state || *state;  // gone, or it cannot be asked
    };
    if (gone()) return;
    if (!child.terminate()) return;
    (void)poll_until(platform.clock, kExitWait, gone);
}

void undo_engine_start(Platform& platform, UndoLog& undo, std::shared_ptr<ChildProcess> child,
                       std::string_view pid_file) {
    undo.add([&platform, child = std::move(child), pid_file] {
        end_started_engine(platform, *child);
        auto recorded = read_runtime_file(platform, pid_file);
        if (recorded && *recorded && trim(**recorded) == std::to_string(child->pid())) {
            remove_file(runtime_file(platform.env, pid_file));
        }
    });
}

}  // namespace vorn
