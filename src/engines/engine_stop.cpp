#include "engines/engine_stop.h"

#include "common/files.h"
#include "common/text.h"
#include "engines/pid_owner.h"
#include "platform/poll.h"
#include "tunnel_core/pid_files.h"
#include "tunnel_core/process_list.h"
#include "tunnel_core/runtime_files.h"
#include "tunnel_core/tunnel_interface.h"

namespace vorn {

namespace {

constexpr PollSchedule kExitWait{50, 100};
constexpr PollSchedule kInterfaceGoneWait{40, 250};

void end_engine(Platform& platform, uint32_t pid) {
    std::string id = std::to_string(pid);
    run_quietly(platform.tools, "taskkill", {"/PID", id, "/T", "/F"});
    (void)poll_until(platform.clock, kExitWait, [&] { return !is_process_running(platform.tools, pid); });
}

}  // namespace

Status stop_engines(Platform& platform) {
    std::vector<std::string> messages;
    for (const EnginePidFile& pid_file : kEnginePidFiles) {
        std::string path = runtime_file(platform.env, pid_file.file_name);
        const std::string label(pid_file.label);
        // A pid file someone else owns or may write is not ours: as if it were absent.
        auto read = read_runtime_file(platform, pid_file.file_name);
        if (read && !*read) continue;
        if (!read) {
            messages.push_back("could not read " + label + " pid: " + read.error());
            continue;
        }
        const std::string* text = &**read;
        if (!is_valid_utf8(*text)) {
            messages.push_back("could not read " + label + " pid: stream did not contain valid UTF-8");
            continue;
        }
        auto pid = parse_u32_decimal(trim(*text));
        if (!pid) {
            messages.push_back("could not parse " + label + " pid: " + pid.error());
            continue;
        }
        if (!started_after_pid_file(platform, *pid, path)) end_engine(platform, *pid);
        remove_file(path);
    }
    wait_for_tunnel_interface_gone(platform);
    if (messages.empty()) return {};
    return fail(join(messages, "; "));
}

void wait_for_tunnel_interface_gone(Platform& platform) {
    (void)poll_until(platform.clock, kInterfaceGoneWait, [&] { return !tunnel_interface_present(platform.tools); });
}

}  // namespace vorn
