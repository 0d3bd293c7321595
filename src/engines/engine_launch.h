#pragma once
// Starting an engine with its output captured, its pid file, and ending one this process started.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "common/undo.h"
#include "platform/platform.h"

namespace vorn {

// Messages used when a launch fails at each stage.
struct LaunchMessages {
    std::string stdout_log;
    std::string stderr_log;
    std::string start;
};
LaunchMessages engine_launch_messages(std::string_view label);
LaunchMessages xray_tun_launch_messages();

Result<std::unique_ptr<ChildProcess>> launch_engine(Platform& platform, const std::string& executable,
                                                    std::vector<std::string> args,
                                                    std::string_view stdout_log,
                                                    std::string_view stderr_log,
                                                    const LaunchMessages& messages);

// Writes the id as bare decimal digits; the failure is the operating system's text.
Status write_engine_pid(Platform& platform, std::string_view pid_file, const ChildProcess& child);

// Ends an engine this process started, through its handle, and waits (bounded) until it is gone.
void end_started_engine(Platform& platform, ChildProcess& child);
// For a connect that fails later: ends the engine just started (it may have no pid file yet),
// then deletes its pid file if that still names it.
void undo_engine_start(Platform& platform, UndoLog& undo, std::shared_ptr<ChildProcess> child,
                       std::string_view pid_file);

}  // namespace vorn
